#include "Tavrel/Catalogue/Daemons/Sshd.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Foundation/Regex.h"

namespace Tavrel::Catalogue::Daemons {

std::string Sshd::_build_service_override() { return Config::OS::systemd_unit_name(WORD); }

std::string Sshd::_build_pid_exe() { return "^" + Foundation::Regex::escape(service_binary()) + "$"; }

// The listener, under its plain command line or the title it gives itself
// ("sshd: /usr/sbin/sshd -D [listener] 0 of 10-100 startups"), never the
// sessions it hands out ("sshd: root@pts/0"): without its pid file (removed
// by hand) the process table finds the running server, so it never reads as
// down. The service's word ("ssh" on Debian) names no process.
std::string Sshd::_build_command_line_regex() {
    const std::string program = Foundation::Regex::escape(service_binary());
    return "^(" + program + "|sshd: " + program + ")( |$)";
}

}  // namespace Tavrel::Catalogue::Daemons
