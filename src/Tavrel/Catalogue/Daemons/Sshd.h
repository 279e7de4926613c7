// Tavrel::Catalogue::Daemons::Sshd: the OpenSSH server.
//
// Its unit and init script are "ssh" on Debian and "sshd" on RHEL. It has no
// ports here: clearing port 22 before a second start attempt could end the
// administrator's own sessions. A restart first has the daemon test its
// configuration: an sshd stopped with a broken one would lock everybody out.
#pragma once

#include "Tavrel/Service/Base.h"

namespace Tavrel::Catalogue::Daemons {

class Sshd : public Tavrel::Service::Base {
  public:
    // The service this class is for; the program is installed under it.
    static constexpr std::string_view WORD = "sshd";
    static inline std::string BINARY = "/usr/sbin/sshd";
    static inline std::string PIDFILE = "/run/sshd.pid";

    std::string class_name() const override { return "Tavrel::ServiceManager::Services::Sshd"; }

  protected:
    std::string _build_service() override { return std::string(WORD); }
    std::string _build_service_override() override;
    std::string _build_service_binary() override { return BINARY; }
    std::string _build_pidfile() override { return PIDFILE; }
    std::string _build_pid_exe() override;
    std::string _build_command_line_regex() override;
    bool _build_support_reload() override { return true; }
    std::vector<std::string> _build_config_test() override { return {service_binary(), "-t"}; }
};

}  // namespace Tavrel::Catalogue::Daemons
