// Tavrel::Server::Installed: is a service's software present on this server?
//
//   if (!Tavrel::Server::Installed::service_is_installed("exim-altport")) ...
//
// The product's own services are always installed; a service with a rule
// (a binary to find, a DNS-only server to rule it out...) is installed when
// its rule says so; any other service is installed when the service monitor
// has a configuration entry for it (Tavrel::Server::Monitor::Config). Rules are keyed
// by the service's code name: the name with "-" turned into "_".
//
// Nothing here throws: a name outside the allowed set is warned about and
// answered false, and a missing program or file is simply false.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Server::Installed {

inline std::string P0F_FILE = "/usr/sbin/p0f";

bool service_is_installed(std::string_view service);
// The registry has something to say about the service: it is one of the
// product's own, has a rule, or the service monitor has an entry for it. A
// service with none of these is one this server does not know, which
// service_is_installed answers as not installed.
bool service_is_known(std::string_view service);
bool _service_has_svcwatch_file(std::string_view service);

// The rules by code name; tests may replace an entry.
using Rule = std::function<bool()>;
std::map<std::string, Rule, std::less<>>& rules();

// The path of a daemon program: Tavrel::Binaries' answer when it knows the
// program, else the first of the search directories that holds it.
std::optional<std::string> located_binary(std::string_view program);

}  // namespace Tavrel::Server::Installed
