#include "Tavrel/Cli/History/Show.h"

#include "Tavrel/Cli/History.h"
#include "Tavrel/Foundation/LoadFile.h"
#include "Tavrel/Foundation/Text/Digits.h"
#include "Tavrel/Output/Columns.h"

#include <time.h>

#include <cstdio>
#include <deque>

namespace Tavrel::Cli::History::Show {

namespace {

using Json = nlohmann::ordered_json;

std::string text_of(const Json& value, const std::string& none = "-") {
    if (value.is_string())
        return value.get<std::string>();
    if (value.is_number_integer())
        return std::to_string(value.get<long long>());
    return none;
}

std::string pids_text(const Json& pids) {
    if (!pids.is_array())
        return "?";
    if (pids.empty())
        return "-";
    std::string text;
    for (const Json& pid : pids)
        text += (text.empty() ? "" : ",") + text_of(pid);
    return text;
}

// The person behind the run: the login account (the one sudo was called
// from), where the session came from.
std::string by_text(const Json& run) {
    std::string by = text_of(run.value("login_user", Json()), "");
    if (by.empty() && run.value("login_uid", Json()).is_number_integer())
        by = "uid " + text_of(run["login_uid"]);
    if (by.empty())
        by = run.value("uid", Json()) == Json(0) ? "root" : "uid " + text_of(run.value("uid", Json()));
    if (const std::string client = text_of(run.value("ssh_client", Json()), ""); !client.empty())
        by += "@" + client;
    return by;
}

std::string result_text(const Json& run) {
    if (run.value("succeeded", false))
        return run.value("done", false) ? "ok" : "nothing done";
    return "failed (" + text_of(run.value("status", Json()), "?") + ")";
}

std::string took_text(const Json& run) {
    const Json ms = run.value("duration_ms", Json());
    if (!ms.is_number_integer())
        return "?";
    const long long value = ms.get<long long>();
    if (value < 1000)
        return std::to_string(value) + " ms";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(value) / 1000.0);
    return text;
}

// The time as written, without the T and the offset: the history is read on
// the server that wrote it.
std::string time_text(const Json& run) {
    std::string time = text_of(run.value("time", Json()), "?");
    if (time.size() >= 19 && time[10] == 'T')
        return time.substr(0, 10) + " " + time.substr(11, 8);
    return time;
}

bool matches(const Json& run, const Query& query) {
    if (query.service && run.value("service", Json()) != Json(*query.service))
        return false;
    if (query.since) {
        const auto when = History::parse_iso_time(text_of(run.value("time", Json()), ""));
        if (!when || *when < *query.since)
            return false;
    }
    return true;
}

}  // namespace

std::optional<std::chrono::system_clock::time_point> parse_since(std::string_view text) {
    struct tm local {};
    int used = 0;
    const std::string copy(text);
    const char* s = copy.c_str();
    int fields = std::sscanf(s, "%4d-%2d-%2d%n", &local.tm_year, &local.tm_mon, &local.tm_mday, &used);
    if (fields != 3 || used != 10)
        return std::nullopt;
    if (copy.size() > 10) {
        int more = 0;
        const char between = copy[10];
        if (between != ' ' && between != 'T')
            return std::nullopt;
        if (std::sscanf(s + 11, "%2d:%2d%n", &local.tm_hour, &local.tm_min, &more) != 2 || more != 5)
            return std::nullopt;
        std::size_t at = 16;
        if (copy.size() > at && (std::sscanf(s + at, ":%2d%n", &local.tm_sec, &more) != 1 || more != 3))
            return std::nullopt;
        if (copy.size() != 16 && copy.size() != 19)
            return std::nullopt;
    }
    if (local.tm_mon < 1 || local.tm_mon > 12 || local.tm_mday < 1 || local.tm_mday > 31 || local.tm_hour > 23 ||
        local.tm_min > 59 || local.tm_sec > 60)
        return std::nullopt;
    local.tm_year -= 1900;
    local.tm_mon -= 1;
    local.tm_isdst = -1;
    const time_t seconds = ::mktime(&local);
    if (seconds == -1)
        return std::nullopt;
    return std::chrono::system_clock::from_time_t(seconds);
}

std::optional<long> parse_limit(std::string_view text) {
    const auto value = Foundation::Text::digits_value(text, MAX_LIMIT);
    if (!value || *value < 1)
        return std::nullopt;
    return static_cast<long>(*value);
}

std::vector<Json> select(std::string_view text, const Query& query) {
    std::deque<Json> newest;
    std::size_t at = 0;
    while (at < text.size()) {
        auto end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        Json run = Json::parse(line, nullptr, false);
        if (run.is_discarded() || !run.is_object() || !matches(run, query))
            continue;
        newest.push_back(std::move(run));
        if (static_cast<long>(newest.size()) > query.limit)
            newest.pop_front();
    }
    return {newest.begin(), newest.end()};
}

std::string table(const std::vector<Json>& runs) {
    std::vector<std::vector<std::string>> lines = {
        {"TIME", "BY", "SERVICE", "ACTION", "RESULT", "TOOK", "PIDS", "MESSAGE"}};
    for (const Json& run : runs) {
        lines.push_back({time_text(run), by_text(run), text_of(run.value("service", Json())),
                         text_of(run.value("action", Json())), result_text(run), took_text(run),
                         pids_text(run.value("pids_before", Json())) + " -> " +
                             pids_text(run.value("pids_after", Json())),
                         text_of(run.value("message", Json()), "")});
    }
    return Output::Columns::aligned(lines);
}

int show(Output::Base& out, bool records, const Query& query) {
    // The turned-over file first: its runs came before.
    std::string text = Foundation::LoadFile::loadfile(History::FILE + ".1").value_or("");
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    text += Foundation::LoadFile::loadfile(History::FILE).value_or("");
    const std::vector<Json> runs = select(text, query);
    if (records) {
        for (const Json& run : runs)
            out.message(RECORD_TYPE, Output::Contents(run));
        return 0;
    }
    std::string lines = table(runs);
    lines.pop_back();  // the output object ends the message's line
    out.out(lines);
    return 0;
}

}  // namespace Tavrel::Cli::History::Show
