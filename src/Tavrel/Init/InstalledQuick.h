// Tavrel::Init::_is_installed: the quick installed test of the restart
// helpers, for the name server only; every other service counts as installed
// here (Tavrel::Server::Installed holds the full rules).
//
//   if (!Tavrel::Init::_is_installed("named")) ...
//
// The name server is installed when its program is executable and it has a
// usable systemd unit or an init script under one of its names.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Init {

inline std::string NAMED_SERVICE = "named";
inline std::string NAMED_BIN = "/usr/sbin/named";
// The two service words of the name server.
inline std::vector<std::string> NAMED_SERVICES = {"named", "bind"};
// Its init script names across distributions and releases.
inline std::vector<std::string> NAMED_INIT_SCRIPTS = {"named", "bind", "bind9", "named-chroot"};

// 1 or 0.
int _is_installed(std::string_view service);

}  // namespace Tavrel::Init
