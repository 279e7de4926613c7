// Tavrel::Server::Database::Logs: where the database server writes its error log.
//
//   std::string path = Tavrel::Server::Database::Logs::get_mysql_error_log_file();
//
// The server's own option files decide (Tavrel::Server::Database::ServerConfig):
// an absolute log_error is taken as it is; a relative one lies in the data
// directory (".err" added when it has no extension); a bare log_error means
// <datadir>/<host name>.err. When the files say nothing, the distribution's
// packaging decides (DEFAULT_ERROR_LOG_BY_FAMILY, from Tavrel::Config::OS::base_distro),
// else <datadir>/<host name>.err.
#pragma once

#include <map>
#include <string>

namespace Tavrel::Server::Database::Logs {

inline std::string DEFAULT_DATADIR = "/var/lib/mysql";
inline std::map<std::string, std::string> DEFAULT_ERROR_LOG_BY_FAMILY = {
    {"debian", "/var/log/mysql/error.log"},
    {"ubuntu", "/var/log/mysql/error.log"},
};

std::string get_mysql_error_log_file();

}  // namespace Tavrel::Server::Database::Logs
