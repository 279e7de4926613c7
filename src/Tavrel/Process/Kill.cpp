#include "Tavrel/Process/Kill.h"

#include "Tavrel/Foundation/Poll.h"
#include "Tavrel/Foundation/Text/Digits.h"

#include "Tavrel/Run/Binaries.h"
#include "Tavrel/Foundation/Console.h"
#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Process/Kill/Target.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Process/Proc/Lineage.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Run/SafeRun/Object.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

namespace Tavrel::Process::Kill {

namespace {

void say(bool verbose, const std::string& text) {
    if (verbose)
        Foundation::Console::line("progress", text);
}

std::string signal_name(int signal) {
    const char* abbrev = ::sigabbrev_np(signal);
    return abbrev ? std::string("SIG") + abbrev : std::to_string(signal);
}

// What one round of signals did: the sends that succeeded, and those that
// failed for another reason than the process having gone already (EPERM).
struct Sends {
    int sent = 0;
    int refused = 0;
};

// Signals every target once.
Sends send_all(const std::vector<Target>& targets, int signal) {
    Sends sends;
    for (const auto& t : targets) {
        int err = t.send(signal);
        if (err == 0) {
            ++sends.sent;
        } else if (err != ESRCH) {
            ++sends.refused;
            Foundation::Debug::log_warn("Could not send " + signal_name(signal) + " to the process with ID " +
                            std::to_string(t.pid()) + ": " + std::strerror(err));
        }
    }
    return sends;
}

int count_alive(const std::vector<Target>& targets) {
    return static_cast<int>(
        std::count_if(targets.begin(), targets.end(), [](const Target& t) { return t.alive(); }));
}

void reap_all(const std::vector<Target>& targets) {
    for (const auto& t : targets)
        t.reap();
}

using Foundation::Poll::pause_for;

std::string join_pids(const std::vector<pid_t>& pids, std::string_view separator) {
    std::string out;
    for (size_t i = 0; i < pids.size(); ++i) {
        if (i)
            out += separator;
        out += std::to_string(pids[i]);
    }
    return out;
}

bool contains(const std::vector<pid_t>& pids, pid_t pid) {
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

// The candidates of a name search, each held by a pidfd that is known to
// belong to a matching process: the match is checked again after the pidfd
// is opened, so a pid reused since the search is dropped.
std::vector<Target> hold_matching(const PsParser::Deadcmd& deadcmd,
                                  const std::vector<std::string>& owners,
                                  std::vector<pid_t> immune,
                                  const std::function<bool(pid_t)>& accept = {}) {
    // Whatever the caller passed, this run and the programs that started it
    // are never signalled (nor pid 1, below).
    const auto lineage = Proc::Lineage::pids();
    immune.insert(immune.end(), lineage.begin(), lineage.end());
    immune.push_back(::getpid());
    std::vector<Target> targets;
    auto matcher = PsParser::NameMatcher::create(deadcmd, owners);
    if (!matcher)
        return targets;
    Foundation::Fd::UniqueFd proc(::open(Foundation::ProcFs::PROC_PATH.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (pid_t pid : PsParser::get_pids_by_name(deadcmd, owners)) {
        if (pid <= 1 || contains(immune, pid))
            continue;
        Target t = Target::open(pid);
        if (t.has_pidfd() && proc && PsParser::READ_PROC) {
            if (!matcher->matches(proc.get(), pid) || !t.alive())
                continue;
        }
        if (accept && !accept(pid))
            continue;
        targets.push_back(std::move(t));
    }
    return targets;
}

}  // namespace

int escalate(std::vector<Target>& targets, const std::string& display, bool verbose, double wait) {
    if (wait <= 0)
        wait = DEFAULT_WAIT_TIME;
    say(verbose, "Terminating " + display + " …");
    if (send_all(targets, SIGTERM).sent == 0) {
        say(verbose, "No process of " + display + " could be signalled.");
        return 0;
    }
    double waited = 0;
    int alive = 1;
    while (alive > 0 && waited <= wait) {
        alive = count_alive(targets);
        if (alive == 0) {
            say(verbose, display + " ended.");
            return 1;
        }
        double step = waited > 0.5 ? 0.05 : waited > 0.01 ? 0.01 : 0.0025;
        pause_for(step);
        waited += step;
        reap_all(targets);
    }
    say(verbose, "Killing " + display + " …");
    if (const Sends sends = send_all(targets, SIGKILL); sends.sent == 0) {
        // A process that may not be signalled is still there, whatever the
        // probe says; processes that went on their own count as gone.
        if (sends.refused > 0) {
            say(verbose, "No process of " + display + " could be signalled.");
            return 0;
        }
        bool gone = count_alive(targets) == 0;
        say(verbose, gone ? display + " ended." : "Could not end " + display + ".");
        return gone ? 1 : 0;
    }
    alive = 1;
    while (alive > 0 && waited <= 2 * wait) {
        alive = count_alive(targets);
        if (alive == 0) {
            say(verbose, display + " ended.");
            return 1;
        }
        pause_for(0.1);
        waited += 0.1;
        reap_all(targets);
    }
    say(verbose, "Could not end " + display + ".");
    return 0;
}

int safekill(const PsParser::Deadcmd& deadcmd, bool verbose, double wait,
             const std::vector<pid_t>& immune_pids,
             const std::vector<std::string>& allowed_owners) {
    std::string display = deadcmd.display(DISPLAY_SEPARATOR);
    auto targets = hold_matching(deadcmd, allowed_owners, immune_pids);
    if (targets.empty()) {
        say(verbose, "No process of " + display + " was found.");
        return 0;
    }
    return escalate(targets, display, verbose, wait);
}

int safekill_if(const PsParser::Deadcmd& deadcmd, const std::function<bool(pid_t)>& accept,
                bool verbose, double wait, const std::vector<pid_t>& immune_pids) {
    std::string display = deadcmd.display(DISPLAY_SEPARATOR);
    auto targets = hold_matching(deadcmd, {}, immune_pids, accept);
    if (targets.empty()) {
        say(verbose, "No process of " + display + " was found.");
        return 0;
    }
    return escalate(targets, display, verbose, wait);
}

int safekill_multipid(const std::vector<pid_t>& pids, bool verbose, double wait) {
    std::vector<Target> targets;
    std::vector<pid_t> held;
    for (pid_t pid : pids) {
        // One bad pid (a pid file that says 0 or 1) must not spare the others.
        if (pid <= 1) {
            Foundation::Debug::log_warn("Skipping the process ID " + std::to_string(pid) +
                            ": it is never signalled.");
            continue;
        }
        targets.push_back(Target::open(pid));
        held.push_back(pid);
    }
    if (targets.empty())
        return 0;
    return escalate(targets, join_pids(held, DISPLAY_SEPARATOR), verbose, wait);
}

KillallResult killall(std::string signal, const PsParser::Deadcmd& deadcmd, bool verbose,
                      const std::vector<pid_t>& immune_pids,
                      const std::vector<std::string>& owners) {
    std::erase_if(signal, [](char c) { return SIGNAL_DELETE_CHARS.find(c) != std::string::npos; });
    (void)ensure_proc_mounted();
    std::optional<int> number;
    if (Foundation::Text::all_digits(signal) && signal.size() <= 3) {
        number = std::stoi(signal);
    } else if (auto it = SIGNAL_NUMBER.find(signal); it != SIGNAL_NUMBER.end()) {
        number = it->second;
    }
    if (!number || !deadcmd.defined() || (number && *number > SIGRTMAX))
        return {false, 0, "killall needs a known signal and a process name."};
    if (!deadcmd.is_pattern()) {
        const auto& names = deadcmd.names();
        if (std::find(names.begin(), names.end(), RESERVED_PROCESS_NAME) != names.end())
            throw Foundation::PlainError("Refusing to signal every “" + RESERVED_PROCESS_NAME + "” process.");
    }
    std::vector<pid_t> signalled;
    for (const auto& t : hold_matching(deadcmd, owners, immune_pids)) {
        int err = t.send(*number);
        if (err == 0) {
            signalled.push_back(t.pid());
        } else {
            Foundation::Debug::log_warn("Could not send signal " + std::to_string(*number) +
                            " to the process with ID " + std::to_string(t.pid()) + ": " +
                            std::strerror(err));
        }
    }
    size_t n = signalled.size();
    std::string summary = "Sent signal " + std::to_string(*number) + " to " + std::to_string(n) +
                          (n == 1 ? " process" : " processes");
    if (n)
        summary += " (" + join_pids(signalled, " ") + ")";
    summary += " named " + deadcmd.display(DISPLAY_SEPARATOR) + ".";
    say(verbose, summary);
    return {true, static_cast<int>(n), summary};
}

std::pair<bool, std::string> ensure_proc_mounted() {
    const std::string& mount_point = Foundation::ProcFs::PROC_PATH;
    const std::string probe = mount_point + "/" + PROC_MOUNT_PROBE_FILE;
    if (::access(probe.c_str(), F_OK) == 0)
        return {true, "procfs is mounted."};
    if (::geteuid() != 0)
        return {false, "procfs is not mounted at " + mount_point + "."};
    say(true, "procfs is not mounted at " + mount_point + ".");
    say(true, "Mounting procfs at " + mount_point + " …");
    try {
        auto mount = Run::Binaries::path("mount");
        if (mount) {
            Run::SafeRun::Options run_options;
            run_options.program = *mount;
            run_options.args = {"-t", "proc", "proc", mount_point};
            run_options.timeout = 60;
            Run::SafeRun::Object run(std::move(run_options));
        }
    } catch (const std::exception& e) {
        Foundation::Debug::log_warn(std::string("Could not run the mount command: ") + e.what());
    }
    bool ok = ::access(probe.c_str(), F_OK) == 0;
    say(true, ok ? "procfs is now mounted." : "procfs could not be mounted.");
    if (!ok)
        return {false, "Failed to mount procfs at " + mount_point + "."};
    return {true, "procfs is mounted."};
}

}  // namespace Tavrel::Process::Kill
