// Tavrel::Init::SysV::getinitfile: the SysV init script of a service.
//
//   if (auto script = Tavrel::Init::SysV::getinitfile("cron")) run(*script, "start");
//
// Nothing when systemd has a usable unit of the name (the script would only
// hand over to systemctl), for NEVER_A_SCRIPT, or when Initd::INIT_D_DIR holds
// no fitting executable. Among the regular, executable entries (dot files and
// package-manager leftovers such as "cron.rpmnew" are skipped) an exact name,
// ignoring case, wins at once; otherwise the first entry whose name starts
// with the service name ("mysql" finds "mysqld"), else the first numbered one
// ("S20cron", "50cron").
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Init::SysV {

// A library of shell functions for the scripts, never a service's script.
inline std::string NEVER_A_SCRIPT = "functions";

std::optional<std::string> getinitfile(std::string_view service);
// The same search of Initd::INIT_D_DIR whether or not systemd has a unit:
// for a run told to leave systemd out, whose script must run even so.
std::optional<std::string> find_init_script(std::string_view service);

}  // namespace Tavrel::Init::SysV
