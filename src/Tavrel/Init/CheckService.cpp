#include "Tavrel/Init/CheckService.h"

#include "Tavrel/Process/Proc/PID.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Process/Check/Running.h"
#include "Tavrel/Process/PsParser/Parse.h"
#include "Tavrel/Config/PwCache.h"
#include "Tavrel/Process/ServiceCheck.h"
#include "Tavrel/Process/ServiceCheck/IgnoredCommands.h"
#include "Tavrel/Process/PidFile/Judge.h"
#include "Tavrel/Process/Proc/HasProc.h"
#include "Tavrel/Init/Systemd/Systemctl.h"
#include "Tavrel/Foundation/Text/Words.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <exception>

namespace Tavrel::Init {

namespace {

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words) {
        if (!out.empty())
            out += ' ';
        out += w;
    }
    return out;
}

std::string with_suffix(const std::string& method, const std::string& suffix,
                        const std::string& alone) {
    return method.empty() ? alone : method + suffix;
}

std::string value_of(const Systemd::Systemctl::UnitProperties& props, const std::string& key) {
    auto it = props.find(key);
    return it == props.end() ? std::string() : it->second;
}

// Whether the process in `dir` runs `binary` (both resolved; a program
// replaced on disk still counts).
bool runs_binary(const std::string& dir, const std::string& binary) {
    if (binary.empty())
        return false;
    std::error_code ec;
    const std::string wanted = std::filesystem::canonical(binary, ec).string();
    if (ec)
        return false;
    char link[PATH_MAX + 1];
    const ssize_t n = ::readlink((dir + "/exe").c_str(), link, PATH_MAX);
    if (n <= 0)
        return false;
    std::string exe(link, static_cast<size_t>(n));
    static const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() &&
        exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
        exe.resize(exe.size() - deleted.size());
    return exe == wanted;
}

// The file is there for the caller to see, but not to read. A file in a
// directory the caller may not search is not known to be there at all: a
// second instance's pid file (the mail server's alternate port) is absent
// while the first instance runs the same program.
bool there_but_unreadable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && ::access(path.c_str(), R_OK) != 0 && errno == EACCES;
}

// Outcome of the /proc step: a status line, "not running", or "try the next
// method".
enum class ProcOutcome { Running, NotRunning, PassOn };

ProcOutcome confirm_through_proc(const CheckServiceOptions& o, pid_t pid,
                                 const std::string& method, std::string& status) {
    const std::string dir = Foundation::ProcFs::PROC_PATH + "/" + std::to_string(pid);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0)
        return ProcOutcome::NotRunning;
    std::string owner;
    if (auto name = Config::PwCache::getpwuid_name(st.st_uid))
        owner = *name;
    else
        owner = std::to_string(st.st_uid);

    auto raw = Foundation::ProcFs::path(dir + "/cmdline");
    if (!raw)
        return ProcOutcome::NotRunning;
    // A zombie has ended: only its parent has not collected it yet.
    auto stat_line = Foundation::ProcFs::path(dir + "/stat");
    if (!stat_line || Process::PsParser::Parse::stat_state(*stat_line).value_or('Z') == 'Z')
        return ProcOutcome::NotRunning;
    if (::stat(dir.c_str(), &st) != 0)
        return ProcOutcome::NotRunning;

    std::string command = *raw;
    while (!command.empty() && command.back() == '\0')
        command.pop_back();
    for (char& c : command)
        if (c == '\0')
            c = ' ';
    // The ignore list is for processes that only mention the service; the
    // service's own program is never one of them.
    if (Process::ServiceCheck::IgnoredCommands::should_ignore_this_command(command) && !runs_binary(dir, o.binary))
        return ProcOutcome::PassOn;
    status = Process::ServiceCheck::format_status_line(o.service, command, owner, pid,
                                          with_suffix(method, PROC_SUFFIX, PROC_METHOD));
    return ProcOutcome::Running;
}

std::string confirm_through_validator(const CheckServiceOptions& o, pid_t pid,
                                      const std::string& method) {
    try {
        Process::Check::Running check({.pid = std::to_string(pid),
                                     .user = o.user,
                                     .pattern = o.service,
                                     .use_services_ignore = true});
        if (!check.check_all())
            return {};
        return Process::ServiceCheck::format_status_line(
            o.service, joined(check.pid_object().cmdline()), o.user, pid,
            with_suffix(method, VALIDATOR_SUFFIX, VALIDATOR_METHOD));
    } catch (const std::exception&) {
        return {};  // not confirmed: the process is not the service's
    }
}

// The last step's question: the process table, searched by the service's
// word (or its program, for a pid file hidden from the caller).
Process::ServiceCheck::CheckOptions process_table_options(const CheckServiceOptions& o,
                                                         bool pidfile_hidden) {
    Process::ServiceCheck::CheckOptions generic;
    generic.service = o.service;
    generic.user = o.user;
    generic.command_line_regex = o.command_line_regex;
    generic.binary = o.binary;
    if (pidfile_hidden && !o.binary.empty() && !o.user.empty())
        generic.program_name = Foundation::Text::last_path_part(o.binary);

    // Where the daemon names its main process in a pid file, a process of its
    // program under a title of its own is one it handed work to (a cron job,
    // an SSH session): it runs on after the daemon stopped, and is not the
    // daemon running.
    generic.skip_retitled = !o.pidfile.empty() && !pidfile_hidden;
    generic.pidfile = o.pidfile;
    generic.unit = o.unit;
    return generic;
}

}  // namespace

std::string check_service(const CheckServiceOptions& o) {
    // 0 stands for "no pid": pid 0, 1 and negative pids never name a service.
    pid_t pid = o.pid && *o.pid > 1 ? *o.pid : 0;
    std::string method = o.check_method;

    bool asked_systemd = false;
    if (!o.ignore_systemd && !o.pid && !o.service.empty()) {
        if (auto props = Systemd::Systemctl::has_service_via_systemd(o.service)) {
            asked_systemd = true;
            method = SYSTEMD_METHOD;
            pid = Systemd::Systemctl::get_pid_via_systemd(o.service, props).value_or(0);
            const std::string type = value_of(*props, "Type");
            const bool active = value_of(*props, "ActiveState") == ACTIVE_STATE;
            if (type == RUNNING_WHEN_ACTIVE_TYPE) {
                if (active)
                    return Process::ServiceCheck::format_running_line(o.service, method);
            } else if (pid <= 1 && type == PID_FROM_CGROUP_TYPE && active) {
                auto pids = Systemd::Systemctl::get_pids_via_systemd(o.service);
                if (!pids.empty())
                    pid = pids.front();
            }
            if (pid <= 1)
                return {};
        }
    }

    // A pid file proves nothing by itself: a daemon killed with -9 leaves its
    // pid to whatever process comes next. Only a process the judge confirms
    // stands for the service; otherwise the process table decides.
    bool from_pidfile = false;
    // A pid file its daemon keeps from other accounts (MariaDB's is 0660):
    // to a run without root the file says nothing, so the process table is
    // searched for the daemon's program, owned by the daemon's account,
    // rather than for the service's word, which no process may carry. Only
    // for a file the caller sees there: see there_but_unreadable.
    bool pidfile_hidden = false;
    if (!asked_systemd && pid == 0 && !o.pidfile.empty()) {
        const auto verdict = Process::PidFile::Judge::judge(
            o.pidfile, {.program = o.program, .binary = o.binary, .owner = o.user});
        if (verdict.confirmed()) {
            pid = *verdict.pid();
            method = PIDFILE_METHOD;
            from_pidfile = true;
        }
        pidfile_hidden = verdict.outcome == Process::PidFile::Judge::Outcome::Unreadable && ::geteuid() != 0 &&
                         there_but_unreadable(o.pidfile);
    }

    if (pid > 1 && Process::Proc::_has_proc()) {
        std::string status;
        switch (confirm_through_proc(o, pid, method, status)) {
            case ProcOutcome::Running: return status;
            case ProcOutcome::NotRunning: return {};
            case ProcOutcome::PassOn: break;
        }
    }
    if (pid > 1 && !from_pidfile && !o.service.empty() && !o.user.empty()) {
        std::string status = confirm_through_validator(o, pid, method);
        if (!status.empty())
            return status;
    }
    return Process::ServiceCheck::check_service(process_table_options(o, pidfile_hidden));
}

bool process_runs_binary(pid_t pid, const std::string& binary) {
    return runs_binary(Foundation::ProcFs::PROC_PATH + "/" + std::to_string(pid), binary);
}

std::vector<pid_t> process_table_pids(const CheckServiceOptions& o) {
    return Process::ServiceCheck::find_pids(process_table_options(o, false));
}

}  // namespace Tavrel::Init
