// Tavrel::Init::is_service_disabled: the restart helpers' quick
// disabled test: a service that is not installed (_is_installed) or has its
// disable flag file (Tavrel::Server::Enabled::FLAG_DIR/<service>.disable)
// is disabled.
//
//   if (Tavrel::Init::is_service_disabled("named")) ...
//
// A name that is not a valid service name (Tavrel::Foundation::Validate::Service) never
// becomes a path: it counts as disabled, since nothing could be run for it.
#pragma once

#include <string_view>

namespace Tavrel::Init {

// 1 or 0.
int is_service_disabled(std::string_view service);

}  // namespace Tavrel::Init
