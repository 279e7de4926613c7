// Tavrel::Config::Guard: the brute-force protection switch. It is on while
// ENABLE_FILE exists.
#pragma once

#include <string>

namespace Tavrel::Config::Guard {

inline std::string ENABLE_FILE = "/etc/tavrel/guard.enabled";

bool is_enabled();

}  // namespace Tavrel::Config::Guard
