#include "Tavrel/Catalogue/Daemons/Sshd.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Foundation/Regex.h"

namespace Tavrel::Catalogue::Daemons {

std::string Sshd::_build_service_override() { return Config::OS::systemd_unit_name(WORD); }

std::string Sshd::_build_pid_exe() { return "^" + Foundation::Regex::escape(service_binary()) + "$"; }

}  // namespace Tavrel::Catalogue::Daemons
