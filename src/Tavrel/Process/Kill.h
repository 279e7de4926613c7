// Tavrel::Process::Kill: ending processes.
//
//   Tavrel::Process::Kill::safekill("exim", verbose, 15, Tavrel::Process::Proc::Lineage::pids());
//   Tavrel::Process::Kill::safekill_multipid({pid1, pid2});
//   auto r = Tavrel::Process::Kill::killall("HUP", "rsyslogd");   // r.ok, r.signalled, r.summary
//
// safekill and safekill_multipid escalate: SIGTERM, a grace period of polls,
// then SIGKILL and a second period of the same length. They return 1 when
// processes were found and are gone (also when they went on their own before
// a signal reached them), else 0: in particular 0 when no signal could be
// sent for another reason (EPERM). Every process is held by a pidfd from the
// moment it is chosen, so a pid reused by an unrelated process is never
// signalled. The calling process is always immune, and nothing here ever
// signals pid 0, 1 or a negative pid: safekill_multipid skips them (with a
// warning) and ends the others.
#pragma once

#include "Tavrel/Process/PsParser.h"

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace Tavrel::Process::Kill {

class Target;

// Grace period used when the caller gives none (or zero), in seconds.
inline double DEFAULT_WAIT_TIME = 15;
inline std::string DISPLAY_SEPARATOR = ", ";
// A verbose call tells its progress in whole lines (Tavrel::Foundation::Console,
// kind "progress"): the run's output object shows them, never as text in the
// middle of a line it left open or between its JSON records.
inline const std::map<std::string, int, std::less<>> SIGNAL_NUMBER = {
    {"ALRM", 14}, {"CHLD", 17}, {"HUP", 1}, {"KILL", 9}, {"TERM", 15}, {"USR1", 10}, {"USR2", 12}};
// Characters removed from killall's signal argument ("-TERM", " HUP").
inline std::string SIGNAL_DELETE_CHARS = "- \t\r\n";
// killall refuses this name outright: it is the service manager that runs
// the whole system (and every user's session manager).
inline std::string RESERVED_PROCESS_NAME = "systemd";
// Present under Tavrel::Foundation::ProcFs::PROC_PATH only while procfs is mounted there;
// killall mounts procfs at Tavrel::Foundation::ProcFs::PROC_PATH when it is missing.
inline std::string PROC_MOUNT_PROBE_FILE = "self/stat";

int safekill(const PsParser::Deadcmd& deadcmd, bool verbose = false,
             double wait_time_in_seconds = 0, const std::vector<pid_t>& immune_pids = {},
             const std::vector<std::string>& allowed_owners = {});
// As safekill, for the matching processes that `accept` takes. It is asked
// once the process is held by its pidfd, so its answer is about that very
// process and not a later one that reused the pid.
int safekill_if(const PsParser::Deadcmd& deadcmd, const std::function<bool(pid_t)>& accept,
                bool verbose = false, double wait_time_in_seconds = 0,
                const std::vector<pid_t>& immune_pids = {});
int safekill_multipid(const std::vector<pid_t>& pids, bool verbose = false,
                      double wait_time_in_seconds = 0);

struct KillallResult {
    bool ok = false;
    int signalled = 0;
    std::string summary;
};
KillallResult killall(std::string signal, const PsParser::Deadcmd& deadcmd, bool verbose = false,
                      const std::vector<pid_t>& immune_pids = {},
                      const std::vector<std::string>& owners = {});

// (true, short text) when procfs is mounted, mounting it first when root.
std::pair<bool, std::string> ensure_proc_mounted();

// The escalation over processes already held; `display` names them in messages.
int escalate(std::vector<Target>& targets, const std::string& display, bool verbose,
             double wait_time_in_seconds);

}  // namespace Tavrel::Process::Kill
