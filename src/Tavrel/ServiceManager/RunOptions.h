// Tavrel::ServiceManager::RunOptions: what the command line of a run says
// about the service object's dealings with systemd. The factory sets it
// before the object's BUILD, because the lock and the backend may be built
// there; the command line itself is never read by the service object.
//
//   auto srv = Tavrel::ServiceManager::create({{"service", "crond"}},
//                                             {.systemd_unit_command = true});
#pragma once

namespace Tavrel::ServiceManager {

struct RunOptions {
    // The run is a systemd unit's own start or stop command: it must not call
    // back into systemctl for that unit, so it uses the init-script backend.
    bool systemd_unit_command = false;
    // The status check finds the service's processes without asking systemd.
    bool ignore_systemd = false;
};

}  // namespace Tavrel::ServiceManager
