#include "Tavrel/Catalogue/Daemons/Sshd.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Foundation/Regex.h"

namespace Tavrel::ServiceManager::Services {

std::string Sshd::_build_service_override() { return OS::systemd_unit_name(WORD); }

std::string Sshd::_build_pid_exe() { return "^" + Regex::escape(service_binary()) + "$"; }

}  // namespace Tavrel::ServiceManager::Services
