#include "Tavrel/Catalogue/Daemons/Rsyslogd.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Foundation/Regex.h"

namespace Tavrel::ServiceManager::Services {

std::string Rsyslogd::_build_service_override() { return OS::systemd_unit_name(WORD); }

bool Rsyslogd::_build_is_tavrel_service() { return !OS::is_systemd(); }

std::string Rsyslogd::_build_pidfile() { return OS::is_systemd() ? std::string() : PIDFILE; }

std::string Rsyslogd::_build_pid_exe() { return "^" + Regex::escape(service_binary()) + "$"; }

std::optional<std::vector<std::string>> Rsyslogd::_build_startup_args() {
    return std::vector<std::string>{"-i", PIDFILE};
}

}  // namespace Tavrel::ServiceManager::Services
