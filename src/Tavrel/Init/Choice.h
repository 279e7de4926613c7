// Tavrel::Init::choose_backend: which init system drives a service. A
// service with a usable systemd unit goes through systemd; any other, and
// every run that systemd itself started as a unit's command or that was
// asked to leave systemd out, through its init script.
//
//   auto choice = Init::choose_backend("cron", run_options);
//   if (!choice.unit_not_found.empty()) note("no unit: the init script");
#pragma once

#include "Tavrel/Init/Backend.h"
#include "Tavrel/Init/RunOptions.h"

#include <memory>
#include <string>

namespace Tavrel::Init {

struct BackendChoice {
    std::unique_ptr<Backend> backend;
    // The unit name looked for when there was none to use: the service then
    // goes through its init script, also on a host that systemd runs.
    std::string unit_not_found;
};

BackendChoice choose_backend(const std::string& service_name, const RunOptions& run);

}  // namespace Tavrel::Init
