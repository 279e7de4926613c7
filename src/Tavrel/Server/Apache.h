// Tavrel::Server::Apache: where the web server keeps its files on this
// distribution.
//
//   std::string log = Tavrel::Server::Apache().file_error_log();
//
// Debian and Ubuntu package the server as apache2 with its logs under
// /var/log/apache2; the RHEL family packages it as httpd under /var/log/httpd.
// The family comes from the platform facts (Tavrel::Config::OS::base_distro).
#pragma once

#include <map>
#include <string>

namespace Tavrel::Server {

class Apache {
  public:
    // The error log by distribution family; a family not listed gets DEFAULT_ERROR_LOG.
    static inline std::map<std::string, std::string> ERROR_LOG_BY_FAMILY = {
        {"debian", "/var/log/apache2/error.log"},
        {"ubuntu", "/var/log/apache2/error.log"},
        {"rhel", "/var/log/httpd/error_log"},
    };
    static inline std::string DEFAULT_ERROR_LOG = "/var/log/httpd/error_log";

    std::string file_error_log() const;
};

}  // namespace Tavrel::Server
