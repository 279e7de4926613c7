#include "Tavrel/Catalogue/Daemons/Nscd.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Foundation/Regex.h"

namespace Tavrel::ServiceManager::Services {

std::string Nscd::_build_pid_exe() { return "^" + Regex::escape(service_binary()) + "$"; }

bool Nscd::_build_support_reload() { return OS::is_systemd(); }

}  // namespace Tavrel::ServiceManager::Services
