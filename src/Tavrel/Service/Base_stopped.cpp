// Tavrel::Service::Base: what of a service still runs, looked at
// afresh; a stop is done only when nothing does, and a failed start attempt
// leaves no copy of the daemon behind.
#include "Tavrel/Service/Base.h"

#include "Tavrel/Foundation/Poll.h"
#include "Tavrel/Process/Proc/PID.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Config/PwUtils.h"
#include "Tavrel/Foundation/Text/Words.h"
#include "Tavrel/Init/CheckService.h"
#include "Tavrel/Process/ServiceCheck.h"
#include "Tavrel/Init/PidfileProcess.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>
#include <filesystem>

namespace Tavrel::Service {

namespace {

// "/usr/sbin/zd -f"; empty when the process has ended meanwhile.
std::string command_of(pid_t pid) {
    try {
        Process::Proc::PID process(pid);
        if (!process.is_running())
            return {};
        return Foundation::Text::join_words(process.cmdline());
    } catch (const std::exception&) {
        return {};
    }
}

// "PID 42 (/usr/sbin/zd -f)"; empty when the process has ended meanwhile.
std::string describe_process(pid_t pid) {
    const std::string command = command_of(pid);
    return command.empty() ? command : "PID " + std::to_string(pid) + " (" + command + ")";
}

// A process a daemon hands work to often runs the daemon's program under a
// title of its own ("CRON", "sshd: alice"); the daemon itself runs it under
// its own name.
bool runs_program_as_itself(pid_t pid, const std::string& program) {
    const std::string exe = Foundation::ProcFs::executable(Foundation::ProcFs::PROC_PATH + "/" + std::to_string(pid));
    if (exe.empty())
        return false;
    if (!program.empty()) {
        std::error_code ec;
        if (std::filesystem::canonical(program, ec).string() != exe)
            return false;
    }
    try {
        const auto words = Process::Proc::PID(pid).cmdline();
        return !words.empty() &&
               Foundation::Text::last_path_part(words.front()) == Foundation::Text::last_path_part(exe);
    } catch (const std::exception&) {
        return false;
    }
}

// The service's program itself, titled as that program or as the service:
// what the status check finds of it that the stop may end as the service's.
bool runs_the_services_program(pid_t pid, const std::string& program, const std::string& service) {
    const std::string exe = Foundation::ProcFs::executable(Foundation::ProcFs::PROC_PATH + "/" + std::to_string(pid));
    std::error_code ec;
    if (exe.empty() || std::filesystem::canonical(program, ec).string() != exe)
        return false;
    const std::string command = command_of(pid);
    return Process::ServiceCheck::titled_as_program(command.substr(0, command.find(' ')), exe,
                                                   {.service = service, .binary = program});
}

// Whether the process was forked at or after `boot_ticks` (see PID).
bool started_since(pid_t pid, unsigned long long boot_ticks) {
    try {
        return Process::Proc::PID(pid).started_at_or_after(boot_ticks);
    } catch (const std::exception&) {
        return false;
    }
}

bool mentions_pid(const std::string& text, pid_t pid) {
    return text.find("PID " + std::to_string(pid) + " ") != std::string::npos ||
           text.ends_with("PID " + std::to_string(pid));
}

}  // namespace

namespace {

std::optional<uid_t> owner_uid(const std::string& account, bool& exists) {
    exists = true;
    if (account.empty())
        return std::nullopt;
    auto uid = Config::PwUtils::normalize_to_uid(account);
    exists = uid.has_value();
    return uid;
}

}  // namespace

std::vector<Copies::Copy> Base::_launched_copies() {
    bool exists = true;
    const auto owner = owner_uid(processowner(), exists);
    const auto args = startup_args();
    if (!exists || (!is_tavrel_service() && !args))
        return {};  // an account that does not exist owns nothing
    return Copies::find(service_binary(), args.value_or(std::vector<std::string>{}), owner);
}

std::vector<Copies::Copy> Base::_running_copies() {
    bool exists = true;
    const auto owner = owner_uid(processowner(), exists);
    if (!exists)
        return {};
    std::vector<Copies::Copy> copies = _launched_copies();
    // Outside systemd the status check may find the service in the process
    // table; what it finds there running the service's own program, titled
    // as itself, as the service's account, is the service's, whatever its
    // arguments (what an init script started without writing the pid file).
    if (service_manager().knows_the_services_processes() || !owner || !can_check_service_status() || service_binary().empty())
        return copies;
    for (pid_t pid : _process_table_pids(_status_check_options())) {
        const bool known = std::any_of(copies.begin(), copies.end(),
                                       [&](const Copies::Copy& c) { return c.pid == pid; });
        if (known || !runs_the_services_program(pid, service_binary(), service_name()))
            continue;
        if (std::string command = command_of(pid); !command.empty())
            copies.push_back({pid, std::move(command)});
    }
    std::sort(copies.begin(), copies.end(),
              [](const Copies::Copy& a, const Copies::Copy& b) { return a.pid < b.pid; });
    return copies;
}

std::vector<pid_t> Base::_process_table_pids(const Init::CheckServiceOptions& options) {
    return Init::process_table_pids(options);
}

bool Base::_end_copies_not_in(const std::vector<Copies::Copy>& before) {
    std::vector<Copies::Copy> launched;
    for (const auto& copy : _running_copies()) {
        const bool was_there = std::any_of(before.begin(), before.end(),
                                           [&](const Copies::Copy& b) { return b.pid == copy.pid; });
        if (!was_there)
            launched.push_back(copy);
    }
    if (launched.empty())
        return true;
    debug("Ending what the failed start of " + service_name() +
          " launched: " + Copies::describe(launched));
    return Copies::end(launched, COPIES_GRACE);
}

std::vector<std::string> Base::_what_still_runs(std::vector<pid_t>* pids) {
    std::vector<std::string> seen;
    std::vector<pid_t> local_pids;
    std::vector<pid_t>& pids_seen = pids ? *pids : local_pids;
    // In a restart, the service started anew meanwhile is not left over.
    auto started_anew = [&](pid_t pid) {
        return restart_stop_began_ && pid > 1 && started_since(pid, *restart_stop_began_);
    };
    std::vector<pid_t> pids_anew;
    auto note = [&](pid_t pid, const std::string& text) {
        if (text.empty() || std::find(pids_seen.begin(), pids_seen.end(), pid) != pids_seen.end())
            return;
        if (started_anew(pid)) {
            pids_anew.push_back(pid);
            return;
        }
        pids_seen.push_back(pid);
        seen.push_back(text);
    };

    if (auto target = Init::pidfile_process(*this, Init::PidfileJudging::Quiet))
        note(target->pid(), describe_process(target->pid()));

    std::optional<Init::Remains> left;
    if (!service_manager().this_process_was_executed_by_systemd())
        left = service_manager().remains(*this);
    if (left) {
        // Only a unit at rest has nothing under way: one still starting, or
        // waiting to be started again, is the service as much as a running one.
        if (!left->at_rest) {
            const bool all_anew = !left->pids.empty() &&
                                  std::all_of(left->pids.begin(), left->pids.end(), started_anew);
            if (left->main_pid)
                note(*left->main_pid, describe_process(*left->main_pid));
            else if (!all_anew)
                note(0, "the unit " + left->unit + ", which is " + left->state +
                            (left->sub_state.empty() ? "" : " (" + left->sub_state + ")"));
        }
        // A unit stopped by its main process only leaves the processes the
        // daemon handed work to, on purpose (a cron job, an SSH session); the
        // daemon's own program still running under its own name is the
        // daemon left behind.
        for (pid_t pid : left->pids) {
            if (!left->main_process_only || runs_program_as_itself(pid, service_binary()))
                note(pid, describe_process(pid));
        }
    } else if (can_check_service_status()) {
        for (const auto& copy : _running_copies())
            note(copy.pid, Copies::describe({copy}));
        // The look --status makes: whatever it calls running, the stop has
        // not stopped.
        const std::string status = get_status_string();
        auto in_status = [&](pid_t pid) { return mentions_pid(status, pid); };
        const bool named = std::any_of(pids_seen.begin(), pids_seen.end(), in_status);
        // In a restart, a daemon started anew meanwhile is what the look
        // finds running, not something the stop left.
        const bool anew = std::any_of(pids_anew.begin(), pids_anew.end(), in_status) ||
                          (!pids_anew.empty() && status.find("PID ") == std::string::npos);
        if (!status.empty() && !named && !anew)
            note(0, status);
        return seen;
    }
    for (const auto& copy : _running_copies())
        note(copy.pid, Copies::describe({copy}));
    return seen;
}

void Base::_confirm_stopped() {
    std::vector<std::string> left;
    const bool stopped = Foundation::Poll::until(
        [&] {
            left = _what_still_runs();
            return left.empty();
        },
        {.within = STOP_CONFIRM_WAIT, .every = STOP_CONFIRM_POLL});
    if (stopped)
        return;
    std::string list;
    for (const auto& item : left)
        list += (list.empty() ? "" : "; ") + item;
    set_service_status(list);
    throw service_exception(
        "StopError",
        {{"hint", "Still running after the stop: " + list + ". Look at its stop command or "
                  "init script, end what is left (kill <pid>), then run the stop again."}});
}

}  // namespace Tavrel::Service
