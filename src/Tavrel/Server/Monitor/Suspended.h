// Tavrel::Server::Monitor::Suspended: is the whole service monitor suspended?
// It is while the flag file SUSPEND_FILE exists.
#pragma once

#include <string>

namespace Tavrel::Server::Monitor::Suspended {

inline std::string SUSPEND_FILE = "/var/tavrel/svcwatch/suspend_all";

bool is_suspended();

}  // namespace Tavrel::Server::Monitor::Suspended
