// Tavrel::Catalogue::Daemons::Rsyslogd: the system logger.
//
// Its unit is "rsyslog". Debian 12 ships no init script for it, so where
// systemd is not the running init this tool launches the daemon itself
// (it detaches on its own and writes PIDFILE) and stops it by its pid file.
// Under systemd the unit runs it in the foreground without a pid file, and
// the unit's main pid is the process.
#pragma once

#include "Tavrel/Service/Base.h"

namespace Tavrel::Catalogue::Daemons {

class Rsyslogd : public Tavrel::Service::Base {
  public:
    // The service this class is for; the program is installed under it.
    static constexpr std::string_view WORD = "rsyslogd";
    static inline std::string BINARY = "/usr/sbin/rsyslogd";
    static inline std::string PIDFILE = "/run/rsyslogd.pid";

    std::string class_name() const override { return "Tavrel::ServiceManager::Services::Rsyslogd"; }

  protected:
    std::string _build_service() override { return std::string(WORD); }
    std::string _build_service_override() override;
    bool _build_is_tavrel_service() override;
    std::string _build_service_binary() override { return BINARY; }
    std::string _build_pidfile() override;
    std::string _build_pid_exe() override;
    std::string _build_command_line_regex() override;
    std::optional<std::vector<std::string>> _build_startup_args() override;
};

}  // namespace Tavrel::Catalogue::Daemons
