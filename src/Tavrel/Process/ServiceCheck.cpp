#include "Tavrel/Process/ServiceCheck.h"

#include "Tavrel/Process/Proc/Cgroup.h"
#include "Tavrel/Process/Proc/Lineage.h"
#include "Tavrel/Process/PsParser.h"
#include "Tavrel/Config/PwUtils.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Process/ServiceCheck/IgnoredCommands.h"
#include "Tavrel/Foundation/Text/Printable.h"
#include "Tavrel/Foundation/Text/Words.h"
#include "Tavrel/Foundation/ProcFs.h"

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace Tavrel::Process::ServiceCheck {

namespace {

// The service core asks with the same pattern on every status poll.
std::shared_ptr<const Foundation::Regex> compiled(const std::string& pattern) {
    static std::mutex lock;
    static std::map<std::string, std::shared_ptr<const Foundation::Regex>> cache;
    std::lock_guard guard(lock);
    auto& slot = cache[pattern];
    if (!slot)
        slot = std::make_shared<const Foundation::Regex>(pattern);
    return slot;
}

}  // namespace

std::string format_status_line(std::string_view service, std::string_view command,
                               std::string_view user, pid_t pid, std::string_view method) {
    // The command line is another process's text: any account may put
    // terminal escapes into its own.
    return fmt::format("{} ({}) is running as {} with PID {} ({} check)", service,
                       Foundation::Text::printable(command), user, pid, method);
}

std::string format_running_line(std::string_view service, std::string_view method) {
    return fmt::format("{} is running ({} check)", service, method);
}

bool titled_as_program(std::string_view title, const std::string& exe, const CheckOptions& o) {
    const std::string name = Foundation::Text::last_path_part(title);
    if (name.empty())
        return false;
    if (name == o.service || (!exe.empty() && name == Foundation::Text::last_path_part(exe)) ||
        (!o.binary.empty() && name == Foundation::Text::last_path_part(o.binary)))
        return true;
    // Launched through a link to the program (mysqld for mariadbd).
    std::error_code ec;
    return !exe.empty() && title.find('/') != std::string_view::npos &&
           std::filesystem::canonical(std::string(title), ec).string() == exe;
}

namespace {

bool names_another_pidfile(const std::string& command, const std::string& pidfile) {
    static const std::string suffix = ".pid";
    size_t start = 0;
    while (start < command.size()) {
        size_t end = command.find(' ', start);
        if (end == std::string::npos)
            end = command.size();
        const std::string_view word(command.data() + start, end - start);
        if (word.size() > suffix.size() && word.front() == '/' && word.ends_with(suffix) && word != pidfile)
            return true;
        start = end + 1;
    }
    return false;
}

// The processes the check counts, in process-table order.
std::vector<PsParser::Record> find_records(const CheckOptions& o) {
    if (o.service.empty() && o.command_line_regex.empty())
        return {};
    std::optional<uid_t> owner;
    if (!o.user.empty()) {
        owner = Config::PwUtils::normalize_to_uid(o.user);
        if (!owner)
            return {};  // an account that does not exist owns nothing
    }

    std::shared_ptr<const Foundation::Regex> pattern;
    std::set<pid_t> by_name;
    if (!o.command_line_regex.empty()) {
        pattern = compiled(o.command_line_regex);
    } else {
        const std::string& name = o.program_name.empty() ? o.service : o.program_name;
        auto pids = PsParser::get_pids_by_name(PsParser::Deadcmd(name), {}, PsParser::Purpose::Look);
        by_name.insert(pids.begin(), pids.end());
        if (by_name.empty())
            return {};
    }

    PsParser::Options ps;
    ps.resolve_uids = true;
    ps.exclude_kernel = true;
    ps.exclude_self = true;
    auto lineage = Proc::Lineage::pids();
    std::error_code ec;
    const std::string program = o.binary.empty() ? std::string()
                                                 : std::filesystem::canonical(o.binary, ec).string();
    std::vector<PsParser::Record> found;
    for (auto& rec : PsParser::fast_parse_ps(ps)) {
        if (owner && rec.uid != *owner)
            continue;
        if (rec.state && *rec.state == "Z")  // ended, only not yet reaped
            continue;
        if (std::find(lineage.begin(), lineage.end(), rec.pid) != lineage.end())
            continue;
        if (!o.unit.empty() && Proc::Cgroup::belongs_to_another_unit(rec.pid, o.unit))
            continue;
        const std::string command = rec.command.value_or(std::string());
        if (pattern ? !pattern->test(command) : !by_name.count(rec.pid))
            continue;
        if (IgnoredCommands::should_ignore_this_command(command))
            continue;
        // A pattern the service chose says what its processes look like.
        if (o.skip_retitled && !pattern) {
            const std::string exe = Foundation::ProcFs::executable(Foundation::ProcFs::PROC_PATH + "/" +
                                                                   std::to_string(rec.pid));
            if (!titled_as_program(command.substr(0, command.find(' ')), exe, o))
                continue;
            // Another program is not the daemon, whatever its title (the
            // SSH client beside the SSH server).
            if (!program.empty() && !exe.empty() && exe != program)
                continue;
        }
        if (o.skip_retitled && !pattern && !o.pidfile.empty() && names_another_pidfile(command, o.pidfile))
            continue;
        found.push_back(std::move(rec));
    }
    return found;
}

}  // namespace

std::vector<pid_t> find_pids(const CheckOptions& o) {
    std::vector<pid_t> pids;
    for (const auto& rec : find_records(o))
        pids.push_back(rec.pid);
    return pids;
}

std::string check_service(const CheckOptions& o) {
    const std::vector<PsParser::Record> found = find_records(o);
    if (found.empty())
        return {};

    std::set<pid_t> members;
    for (const auto& rec : found)
        members.insert(rec.pid);
    const PsParser::Record* main = &found.front();
    for (const auto& rec : found) {
        if (!rec.ppid || !members.count(*rec.ppid)) {
            main = &rec;
            break;
        }
    }
    return format_status_line(o.service, main->command.value_or(std::string()), main->user,
                              main->pid, PROCESS_TABLE_METHOD);
}

}  // namespace Tavrel::Process::ServiceCheck
