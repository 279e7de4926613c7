// Tavrel::Init::RunOptions: what a run's command line and its
// caller say about the service object's dealings with systemd and init. The
// option parser fills it (Tavrel/Cli/Parseargv.h) and the factory sets
// it before the object's BUILD, because the lock and the backend may be built
// there; the command line itself is never read by the service object, nor is
// its parent process looked at again.
//
//   auto srv = Tavrel::Catalogue::create({{"service", "crond"}},
//                                             {.systemd_unit_command = true});
#pragma once

namespace Tavrel::Init {

struct RunOptions {
    // The run is a systemd unit's own start or stop command: it must not call
    // back into systemctl for that unit, so it uses the init-script backend.
    bool systemd_unit_command = false;
    // The status check finds the service's processes without asking systemd.
    bool ignore_systemd = false;
    // The run was started by init (its parent is process 1), decided once as
    // the program starts: init serialises its own jobs, so the run takes no
    // lock; it must not call back into systemctl; and a daemon it launches
    // for a unit of systemd's replaces it, so that systemd tracks the daemon.
    bool started_by_init = false;
    // The run only looks at the service (the listing of every service): it
    // takes no run lock, so a restart busy with one service never holds up
    // the answer about all of them, and a look never holds up a restart.
    bool look_only = false;
    // --dry-run: the run takes every decision of its action and, where it
    // would change the system, says what it would do instead (Service/Plan.h).
    // It takes no run lock: it only says whether the lock is free.
    bool dry_run = false;

    bool operator==(const RunOptions&) const = default;
};

}  // namespace Tavrel::Init
