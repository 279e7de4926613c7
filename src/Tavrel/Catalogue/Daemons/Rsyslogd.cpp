#include "Tavrel/Catalogue/Daemons/Rsyslogd.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Foundation/Regex.h"

namespace Tavrel::Catalogue::Daemons {

std::string Rsyslogd::_build_service_override() { return Config::OS::systemd_unit_name(WORD); }

bool Rsyslogd::_build_is_tavrel_service() { return !Config::OS::is_systemd(); }

std::string Rsyslogd::_build_pidfile() { return Config::OS::is_systemd() ? std::string() : PIDFILE; }

std::string Rsyslogd::_build_pid_exe() { return "^" + Foundation::Regex::escape(service_binary()) + "$"; }

// The program is named otherwise than the service ("rsyslog"): without a pid
// file (removed, or never written under systemd) the process table is
// searched for the program itself, so a running logger never reads as down
// and a restart never starts a second one.
std::string Rsyslogd::_build_command_line_regex() {
    return "^" + Foundation::Regex::escape(service_binary()) + "( |$)";
}

std::optional<std::vector<std::string>> Rsyslogd::_build_startup_args() {
    return std::vector<std::string>{"-i", PIDFILE};
}

}  // namespace Tavrel::Catalogue::Daemons
