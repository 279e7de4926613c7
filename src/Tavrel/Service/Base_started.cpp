// Tavrel::Service::Base: whether a start the init system reported done has
// left the daemon running. An init script says 0 and a unit turns active as
// soon as the daemon has gone to the background; a daemon that then reads
// its configuration, binds its ports or opens its files may still fail, and
// one that systemd restarts after each crash looks up at every single look.
#include "Tavrel/Service/Base.h"

#include "Tavrel/Foundation/Poll.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Foundation/Text/Words.h"
#include "Tavrel/Init/PidfileProcess.h"
#include "Tavrel/Process/Fuser.h"
#include "Tavrel/Process/Kill/AppPort.h"
#include "Tavrel/Process/Proc/Cgroup.h"
#include "Tavrel/Process/Proc/Lineage.h"
#include "Tavrel/Process/Proc/PID.h"

#include <fmt/format.h>
#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

namespace Tavrel::Service {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

Clock::time_point after(Clock::time_point from, double seconds) {
    return from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

using Foundation::Poll::pause_for;

// "1 second", "0.5 seconds": a bound as a person reads it.
std::string seconds_text(double seconds) {
    return fmt::format("{:g} second{}", seconds, seconds == 1 ? "" : "s");
}

// "0.8 seconds": a time the run measured.
std::string measured_text(double seconds) {
    return fmt::format("{:.1f} seconds", std::max(0.0, seconds));
}

std::string ports_text(const std::vector<int>& ports) {
    std::string text;
    for (size_t i = 0; i < ports.size(); ++i)
        text += (i == 0 ? "" : i + 1 == ports.size() ? " and " : ", ") + std::to_string(ports[i]);
    return (ports.size() == 1 ? "port " : "ports ") + text;
}

// The file a program path names, links resolved; "" when there is none.
std::string resolved_program(const std::string& path) {
    if (path.empty())
        return {};
    std::error_code ec;
    auto real = std::filesystem::canonical(path, ec);
    return ec ? std::string() : real.string();
}

std::string executable_of(pid_t pid) {
    return Foundation::ProcFs::executable(Foundation::ProcFs::PROC_PATH + "/" + std::to_string(pid));
}

// "PID 42 (/usr/bin/perl -e ...) of nobody"; "PID 42" when it has ended.
std::string describe_holder(pid_t pid) {
    std::string text = "PID " + std::to_string(pid);
    try {
        Process::Proc::PID process(pid);
        if (!process.is_running())
            return text;
        text += " (" + Foundation::Text::join_words(process.cmdline()) + ")";
        struct stat st {};
        const std::string dir = Foundation::ProcFs::PROC_PATH + "/" + std::to_string(pid);
        if (::stat(dir.c_str(), &st) == 0) {
            const passwd* account = ::getpwuid(st.st_uid);
            text += " of " + (account ? std::string(account->pw_name) : std::to_string(st.st_uid));
        }
    } catch (const std::exception&) {
    }
    return text;
}

// What the ports of a service show right now.
struct PortLook {
    std::vector<int> unheld;           // no process of the service listens there
    std::vector<std::string> holders;  // other processes listening on those
};

// A process of the service: in its unit, the pid file's process or a
// process it started, or one running its program.
class OwnProcesses {
  public:
    explicit OwnProcesses(Base& svc)
        : unit_(svc.systemd_unit_id()), program_(resolved_program(svc.service_binary())) {
        if (auto target = Init::pidfile_process(svc, Init::PidfileJudging::Quiet))
            main_ = target->pid();
    }
    bool has(pid_t pid) const {
        if (!unit_.empty() && Process::Proc::Cgroup::service_unit_of(pid) == unit_)
            return true;
        if (!program_.empty() && executable_of(pid) == program_)
            return true;
        if (main_ > 1) {
            const auto line = Process::Proc::Lineage::pids(pid);
            return std::find(line.begin(), line.end(), main_) != line.end();
        }
        return false;
    }

  private:
    std::string unit_;
    std::string program_;
    pid_t main_ = 0;
};

PortLook look_at_ports(Base& svc) {
    namespace AppPort = Process::Kill::AppPort;
    const std::vector<int> ports = svc.ports();
    const auto listeners = AppPort::find_listeners(ports);
    const OwnProcesses own(svc);
    PortLook look;
    for (int port : ports) {
        bool held = false;
        std::vector<std::string> others;
        for (const auto& listener : listeners) {
            if (listener.port != port)
                continue;
            for (pid_t pid : AppPort::pids_holding({listener.inode})) {
                if (own.has(pid)) {
                    held = true;
                    continue;
                }
                std::string other = describe_holder(pid) + " on " + listener.address + ":" +
                                    std::to_string(port);
                if (std::find(others.begin(), others.end(), other) == others.end())
                    others.push_back(std::move(other));
            }
        }
        if (held)
            continue;
        look.unheld.push_back(port);
        look.holders.insert(look.holders.end(), others.begin(), others.end());
    }
    return look;
}

// " Listening there instead: PID 7 (...) on 127.0.0.1:53." or "".
std::string holders_text(const PortLook& look) {
    if (look.holders.empty())
        return {};
    std::string text;
    for (const auto& holder : look.holders)
        text += (text.empty() ? "" : "; ") + holder;
    return " Listening there instead: " + text + ".";
}

// Waits, within startup_timeout of `seen`, until every port of the service
// has a listener of its own; why not, when it does not. A daemon that
// listens on some of its ports and leaves the others free once the settle
// time has passed is up: its configuration may not ask for every port of
// the service (a web server without TLS leaves 443 alone).
std::optional<std::string> wait_for_ports(Base& svc, Clock::time_point seen) {
    const size_t count = svc.ports().size();
    PortLook look = look_at_ports(svc);
    auto next_gone_look = after(seen, Base::START_GONE_GRACE);
    while (!look.unheld.empty()) {
        const bool some_own = look.unheld.size() < count;
        if (some_own && look.holders.empty() && seconds_since(seen) >= svc.start_settle())
            break;
        if (seconds_since(seen) >= svc.startup_timeout()) {
            return "It was not listening on its " + ports_text(look.unheld) + " " +
                   seconds_text(svc.startup_timeout()) + " after its start." + holders_text(look);
        }
        if (Clock::now() >= next_gone_look) {
            if (svc._start_is_over())
                return "It ended before it listened on its " + ports_text(look.unheld) + "." +
                       holders_text(look);
            next_gone_look = after(Clock::now(), Base::START_GONE_POLL);
        }
        pause_for(Base::START_CONFIRM_POLL);
        look = look_at_ports(svc);
    }
    return std::nullopt;
}

// Watches, by the status look, that the service stays up until `until`;
// why not, when it goes.
std::optional<std::string> settle(Base& svc, Clock::time_point seen, Clock::time_point until) {
    for (;;) {
        if (svc.get_status_string().empty()) {
            return "It was no longer running " + measured_text(seconds_since(seen)) +
                   " after its start.";
        }
        const double left = std::chrono::duration<double>(until - Clock::now()).count();
        if (left <= 0)
            return std::nullopt;
        pause_for(std::min(left, Base::START_CONFIRM_POLL));
    }
}

// What a supervising init system did between the two looks; why that
// means the start did not hold.
std::optional<std::string> compare_marks(const Init::StartMarks& then, const Init::StartMarks& now,
                                         double seconds) {
    if (then.restarts && now.restarts && *now.restarts > *then.restarts) {
        const long times = *now.restarts - *then.restarts;
        return fmt::format("systemd restarted it {} time{} within {} of its start: it keeps failing.",
                           times, times == 1 ? "" : "s", measured_text(seconds));
    }
    if (then.main_pid && now.main_pid != then.main_pid) {
        if (!now.main_pid)
            return fmt::format("Its main process (PID {}) ended within {} of its start.",
                               *then.main_pid, measured_text(seconds));
        return fmt::format("Its main process (PID {}) was replaced by PID {} within {} of its start.",
                           *then.main_pid, *now.main_pid, measured_text(seconds));
    }
    return std::nullopt;
}

}  // namespace

bool Base::_confirm_start(Clock::time_point seen, const std::optional<Init::StartMarks>& marks) {
    const double settle_time = start_settle();
    if (settle_time <= 0 || !can_check_service_status())
        return true;
    std::optional<std::string> why;
    if (!ports().empty()) {
        why = wait_for_ports(*this, seen);
    } else {
        // The waits before may have watched it that long already.
        why = settle(*this, seen, after(seen, settle_time));
    }
    if (!why && marks) {
        if (const auto now = service_manager().start_marks(*this))
            why = compare_marks(*marks, *now, seconds_since(seen));
    }
    if (!why) {
        debug("The start of " + service_name() + " holds " +
              fmt::format("{:.2f}", seconds_since(seen)) + " seconds after it was seen.");
        return true;
    }
    start_doubt_ = *why;
    warn("The start of the service “" + service_name() + "” did not hold: " + *why);
    return false;
}

bool Base::_start_is_over() {
    if (auto over = service_manager().start_is_over(*this))
        return *over;
    if (!get_status_string().empty() || !_what_still_runs().empty())
        return false;
    const std::string program = resolved_program(service_binary());
    if (program.empty())
        return true;
    for (pid_t pid : Process::Fuser::running_processes()) {
        if (executable_of(pid) == program)
            return false;
    }
    return true;
}

}  // namespace Tavrel::Service
