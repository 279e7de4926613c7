// Tavrel::Run::Timezones: the server's current time zone name, for the TZ variable
// of launched daemons (so their log times agree with the system's clock
// settings however the tool was started).
//
// Found, in order: the first target below the zone directory on the chain of
// links that starts at the local-time path; for a local-time file that is a
// copy (or links ending outside the zone directory), the zone named by the
// time-zone file when its zone file has the same content, else the first
// zone file (in sorted order) with the same content; else DEFAULT_ZONE. A
// leading "posix/" is dropped.
#pragma once

#include <string>

namespace Tavrel::Run::Timezones {

inline std::string LOCALTIME_PATH = "/etc/localtime";
inline std::string TIMEZONE_FILE = "/etc/timezone";
inline std::string ZONEINFO_DIR = "/usr/share/zoneinfo";
inline std::string DEFAULT_ZONE = "UTC";

std::string calculate_TZ_env();

}  // namespace Tavrel::Run::Timezones
