// Tavrel::ServiceManager::Manager::pidfile_process: the one judgement of
// whether the process a service's pid file names is the service's own, used
// by every step that acts on that process (the stop's signal, the stop's
// wait after an orderly stop, the look after a stop).
//
//   if (auto target = pidfile_process(svc, PidfileJudging::Loud)) target->send(SIGTERM);
//
// A pid file is believed only for a positive pid above 1 that is neither this
// process nor one of its ancestors; a process that started after the pid file
// was last written has a reused pid (unless its executable confirms it, by
// the service's pid_exe); a pid file that root (or this process's user) does
// not own, or that others may write, names a process only when that process
// is confirmed as the service's own by its executable or its owner. The
// process is held by a pidfd from the moment it is judged, so whatever is
// done with it reaches that very process.
#pragma once

#include "Tavrel/Kill/Target.h"
#include "Tavrel/ServiceManager/Service.h"

#include <optional>

namespace Tavrel::ServiceManager::Manager {

// A process that started more than this many seconds after its pid file was
// last written is not the one the file was written for.
inline double PIDFILE_AGE_SLACK = 2;

enum class PidfileJudging {
    // Warns about a pid file it refuses, and raises a PlainError when the
    // pid file or the process's executable cannot be read.
    Loud,
    // Answers nothing, silently, in every such case.
    Quiet,
};

std::optional<Kill::Target> pidfile_process(Service& svc, PidfileJudging how);

}  // namespace Tavrel::ServiceManager::Manager
