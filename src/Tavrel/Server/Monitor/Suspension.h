// Tavrel::Server::Monitor::Suspension: per-service suspension of the service monitor.
//
// While this tool stops or restarts a service, the monitor must not restart it
// behind its back. A suspension is a file SERVICE_SUSPEND_DIR/<service> whose
// whole content is the expiry time in Unix seconds; the monitor reads the
// directory with the same rules (load_service_suspensions, is_service_suspended).
//
//   Tavrel::Server::Monitor::Suspension::suspend_service("httpd", 600);
//   ...
//   Tavrel::Server::Monitor::Suspension::resume_service("httpd");  // or let it lapse
//
// A suspension is in force strictly before its expiry second.
#pragma once

#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Server::Monitor::Suspension {

inline std::string SERVICE_SUSPEND_DIR = "/var/tavrel/svcwatch/suspended";
inline constexpr long DEFAULT_SUSPENSION_DELAY = 70;
inline constexpr long MAX_SUSPENSION_DELAY = 3600;

using Suspensions = std::map<std::string, time_t>;

// Writes the suspension (delay 0 or none: DEFAULT_SUSPENSION_DELAY; capped at
// MAX_SUSPENSION_DELAY). The write's result; nothing when the directory
// cannot be made (warned). Param::Invalid for an invalid service name.
std::optional<bool> suspend_service(std::string_view service, std::optional<long> delay = {},
                                    std::optional<time_t> now = {});
// Deletes the service's suspension: the number of files removed (1 or 0).
int resume_service(std::string_view service);
// Every non-hidden entry of the directory with its expiry; nothing when the
// directory cannot be read or holds no suspension.
std::optional<Suspensions> load_service_suspensions();
// true while the expiry lies in the future; nothing when no map or no service
// is given or no expiry is known (the map first, else the service's file).
std::optional<bool> is_service_suspended(const Suspensions* suspensions, std::string_view service,
                                         std::optional<time_t> now = {});

}  // namespace Tavrel::Server::Monitor::Suspension
