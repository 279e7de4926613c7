// Tavrel::Server::Panel::BruteForceGuard: the brute-force protection switch. It is on while
// ENABLE_FILE exists.
#pragma once

#include <string>

namespace Tavrel::Server::Panel::BruteForceGuard {

inline std::string ENABLE_FILE = "/etc/tavrel/guard.enabled";

bool is_enabled();

}  // namespace Tavrel::Server::Panel::BruteForceGuard
