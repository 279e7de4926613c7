// Tavrel::Init::pidfile_process: the process a service's
// pid file names, when Tavrel::Process::PidFile::Judge confirms it as the service's
// own, held by a pidfd. Every step of a stop that acts on that process (the
// signal, the wait after an orderly stop, the look after the stop) asks here.
//
//   if (auto target = pidfile_process(svc, PidfileJudging::Loud)) target->send(SIGTERM);
//
// The process is held from the moment it is judged, so whatever is done with
// it reaches that very process, never a later one that reuses its pid.
#pragma once

#include "Tavrel/Process/Kill/Target.h"
#include "Tavrel/Init/Service.h"

#include <optional>

namespace Tavrel::Init {

enum class PidfileJudging {
    // Warns about a pid file it refuses (says why in the debug log when the
    // process has simply ended).
    Loud,
    // Answers nothing, silently.
    Quiet,
};

std::optional<Process::Kill::Target> pidfile_process(Service& svc, PidfileJudging how);

}  // namespace Tavrel::Init
