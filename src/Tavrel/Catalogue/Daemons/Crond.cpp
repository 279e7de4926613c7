#include "Tavrel/Catalogue/Daemons/Crond.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Foundation/Regex.h"

namespace Tavrel::ServiceManager::Services {

std::string Crond::_build_service_override() { return OS::systemd_unit_name(WORD); }

std::string Crond::_build_service_binary() { return OS::cron_bin_path(); }

std::string Crond::_build_pid_exe() { return "^" + Regex::escape(service_binary()) + "$"; }

}  // namespace Tavrel::ServiceManager::Services
