// Tavrel::Server::Monitor::Config: where the service monitor keeps its per-service
// configuration. An entry named after a service means the monitor watches it.
#pragma once

#include <string>
#include <string_view>

namespace Tavrel::Server::Monitor::Config {

inline std::string SVCWATCH_DIR = "/etc/tavrel/svcwatch.d";

inline const std::string& svcwatch_dir() {
    return SVCWATCH_DIR;
}

// Whether the monitor's directory has an entry of that name (of any kind).
bool has_entry(std::string_view service);

}  // namespace Tavrel::Server::Monitor::Config
