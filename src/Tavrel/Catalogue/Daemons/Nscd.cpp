#include "Tavrel/Catalogue/Daemons/Nscd.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Foundation/Regex.h"

namespace Tavrel::Catalogue::Daemons {

std::string Nscd::_build_pid_exe() { return "^" + Foundation::Regex::escape(service_binary()) + "$"; }

bool Nscd::_build_support_reload() { return Config::OS::is_systemd(); }

}  // namespace Tavrel::Catalogue::Daemons
