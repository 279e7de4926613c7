#include "Tavrel/Catalogue/Daemons/Crond.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Foundation/Regex.h"

namespace Tavrel::Catalogue::Daemons {

std::string Crond::_build_service_override() { return Config::OS::systemd_unit_name(WORD); }

std::string Crond::_build_service_binary() { return Config::OS::cron_bin_path(); }

std::string Crond::_build_pid_exe() { return "^" + Foundation::Regex::escape(service_binary()) + "$"; }

}  // namespace Tavrel::Catalogue::Daemons
