// Tavrel::Server::Panel::Analytics: is the usage-statistics collector switched on?
// It is unless the administrator created DISABLE_FILE.
#pragma once

#include <string>

namespace Tavrel::Server::Panel::Analytics {

inline std::string DISABLE_FILE = "/etc/tavrel/analytics.disabled";

bool is_enabled();

}  // namespace Tavrel::Server::Panel::Analytics
