#include "Tavrel/ServiceManager/Services/Nscd.h"

#include "Tavrel/Regex.h"

namespace Tavrel::ServiceManager::Services {

std::string Nscd::_build_pid_exe() { return "^" + Regex::escape(service_binary()) + "$"; }

}  // namespace Tavrel::ServiceManager::Services
