#include "Tavrel/Process/ServiceCheck.h"

#include "Tavrel/Process/Proc/Lineage.h"
#include "Tavrel/Process/PsParser.h"
#include "Tavrel/Config/PwUtils.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Process/ServiceCheck/IgnoredCommands.h"
#include "Tavrel/Foundation/Text/Printable.h"

#include <fmt/format.h>

#include <algorithm>
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

std::string check_service(const CheckOptions& o) {
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
    std::vector<PsParser::Record> found;
    for (auto& rec : PsParser::fast_parse_ps(ps)) {
        if (owner && rec.uid != *owner)
            continue;
        if (rec.state && *rec.state == "Z")  // ended, only not yet reaped
            continue;
        if (std::find(lineage.begin(), lineage.end(), rec.pid) != lineage.end())
            continue;
        const std::string command = rec.command.value_or(std::string());
        if (pattern ? !pattern->test(command) : !by_name.count(rec.pid))
            continue;
        if (IgnoredCommands::should_ignore_this_command(command))
            continue;
        found.push_back(std::move(rec));
    }
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
