#include "Tavrel/Cli/History.h"

#include "Tavrel/Config/JSON.h"
#include "Tavrel/Foundation/File/AppendLine.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Service/Base.h"
#include "Tavrel/Service/Verb.h"

#include <time.h>

#include <cstdio>

namespace Tavrel::Cli::History {

std::string iso_time(std::chrono::system_clock::time_point when) {
    const time_t seconds = std::chrono::system_clock::to_time_t(when);
    struct tm local {};
    ::localtime_r(&seconds, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff;
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char zone[48];
    std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return std::string(text) + zone;
}

std::optional<std::chrono::system_clock::time_point> parse_iso_time(std::string_view text) {
    int year, month, day, hour, minute, second, zone_hours, zone_minutes, used = 0;
    char sign;
    const std::string copy(text);
    if (std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%2d:%2d%n", &year, &month, &day, &hour, &minute,
                    &second, &sign, &zone_hours, &zone_minutes, &used) != 9 ||
        used != static_cast<int>(copy.size()) || (sign != '+' && sign != '-'))
        return std::nullopt;
    struct tm utc {};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    utc.tm_sec = second;
    const long offset = (sign == '-' ? -1 : 1) * (zone_hours * 3600L + zone_minutes * 60L);
    return std::chrono::system_clock::from_time_t(::timegm(&utc) - offset);
}

nlohmann::ordered_json line_of(const Entry& entry) {
    const ResultRecord::Facts& f = entry.outcome;
    const nlohmann::ordered_json result = ResultRecord::contents(f);
    const Caller::Who& who = entry.who;
    return {
        {"time", iso_time(entry.started)},
        {"duration_ms", entry.duration_ms},
        {"service", result["service"]},
        {"action", result["action"]},
        {"args", entry.args},
        {"succeeded", result["succeeded"]},
        {"done", result["done"]},
        {"status", result["status"]},
        {"failure_class", result["failure_class"]},
        {"error_id", result["error_id"]},
        {"message", result["message"]},
        {"pids_before", ResultRecord::pid_list(entry.pids_before)},
        {"pids_after", result["pids"]},
        {"running", result["running"]},
        {"uid", static_cast<long>(who.uid)},
        {"login_uid", who.login_uid ? nlohmann::ordered_json(static_cast<long>(*who.login_uid))
                                    : nlohmann::ordered_json()},
        {"login_user", Config::JSON::or_null(who.login_user)},
        {"ssh_client", Config::JSON::or_null(who.ssh_client)},
        {"parent_pid", static_cast<long>(who.parent_pid)},
        {"parent", who.parent},
    };
}

bool is_recorded(const Main::Command& command, uid_t euid) {
    if (euid != 0 || !command.invocation || !command.options)
        return false;
    const ParsedArgv& o = *command.options;
    return !o.help && !o.list && !o.history && !o.run.dry_run && !Tavrel::Service::row_of(o.verb).question;
}

Run::Run(const Main::Command& command)
    : due_(is_recorded(command, ::geteuid())), start_(std::chrono::steady_clock::now()) {
    if (!due_)
        return;
    entry_.started = std::chrono::system_clock::now();
    entry_.args = command.args;
    entry_.who = Caller::of_this_run();
}

void Run::look_before(Tavrel::Service::Base& srv) noexcept {
    if (!due_)
        return;
    try {
        entry_.pids_before = ResultRecord::pids_in_status(srv.get_status_string());
    } catch (...) {
        entry_.pids_before.reset();
    }
}

void Run::write(const ResultRecord::Facts& outcome, int status) noexcept {
    if (!due_)
        return;
    due_ = false;
    try {
        entry_.outcome = outcome;
        entry_.outcome.status = status;
        entry_.duration_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_)
                .count();
        // Arguments are whatever the caller passed: bytes that are no UTF-8
        // are replaced, never a reason to lose the line.
        const std::string text =
            line_of(entry_).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
        if (auto why = Foundation::File::AppendLine::append_line(FILE, text))
            Foundation::Logger::create()->warn("This run is missing from the history " + FILE + ": " + *why +
                                               ". The run itself is not affected.");
    } catch (...) {
    }
}

}  // namespace Tavrel::Cli::History
