#include "Tavrel/Init/PidfileProcess.h"

#include "Tavrel/Process/PidFile/Judge.h"

namespace Tavrel::Init {

std::optional<Process::Kill::Target> pidfile_process(Service& svc, PidfileJudging how) {
    const std::string pidfile = svc.pidfile();
    if (pidfile.empty())
        return std::nullopt;
    const bool loud = how == PidfileJudging::Loud;
    using Process::PidFile::Judge::Outcome;
    const auto verdict = Process::PidFile::Judge::judge(pidfile, {.program = svc.pid_exe(),
                                                           .binary = svc.service_binary(),
                                                           .owner = svc.processowner()});
    switch (verdict.outcome) {
        case Outcome::Confirmed:
            break;
        case Outcome::NoFile:
            return std::nullopt;
        case Outcome::NotRunning:
            if (loud)
                svc.debug(verdict.reason);
            return std::nullopt;
        default:
            if (loud)
                svc.warn("“" + svc.service_name() + "”: " + verdict.reason +
                         " It is not signalled.");
            return std::nullopt;
    }
    // The judged process is held by its start time; the pidfd opened now is
    // that same process only while it still runs with that start time.
    auto target = Process::Kill::Target::open(*verdict.pid());
    if (!target.alive() || !verdict.process->is_running()) {
        if (loud)
            svc.debug("The pid file " + pidfile + " names process " +
                      std::to_string(*verdict.pid()) + ", which is not running.");
        return std::nullopt;
    }
    return target;
}

}  // namespace Tavrel::Init
