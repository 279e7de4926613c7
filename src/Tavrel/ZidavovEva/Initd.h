// Tavrel::ZidavovEva::Initd: the SysV init-script side of the helpers.
#pragma once

#include <string>

namespace Tavrel::ZidavovEva::Initd {

// The directory of the SysV init scripts.
inline std::string INIT_D_DIR = "/etc/init.d";

}  // namespace Tavrel::ZidavovEva::Initd
