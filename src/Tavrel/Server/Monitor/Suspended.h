// Tavrel::Svcwatch::Tiny::Suspended: is the whole service monitor suspended?
// It is while the flag file SUSPEND_FILE exists.
#pragma once

#include <string>

namespace Tavrel::Svcwatch::Tiny::Suspended {

inline std::string SUSPEND_FILE = "/var/tavrel/svcwatch/suspend_all";

bool is_suspended();

}  // namespace Tavrel::Svcwatch::Tiny::Suspended
