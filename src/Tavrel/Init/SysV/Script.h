// Tavrel::Init::SysV::Script: the SysV init-script side of the helpers.
//
//   if (Tavrel::Init::SysV::Script::has_service_via_initd("cron")) ...
#pragma once

#include <string>
#include <string_view>

namespace Tavrel::Init::SysV::Script {

// The directory of the SysV init scripts.
inline std::string INIT_D_DIR = "/etc/init.d";

// True when INIT_D_DIR/<service> is a regular file the effective user may
// execute. An empty name is false; a name that is not a single file-system
// node name throws Name::Invalid.
bool has_service_via_initd(std::string_view service);

}  // namespace Tavrel::Init::SysV::Script
