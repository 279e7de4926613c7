// Tavrel::Analytics::Enabled: is the usage-statistics collector switched on?
// It is unless the administrator created DISABLE_FILE.
#pragma once

#include <string>

namespace Tavrel::Analytics::Enabled {

inline std::string DISABLE_FILE = "/etc/tavrel/analytics.disabled";

bool is_enabled();

}  // namespace Tavrel::Analytics::Enabled
