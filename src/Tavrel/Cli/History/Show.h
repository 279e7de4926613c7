// Tavrel::Cli::History::Show: `zidavoveva_service --history [WORD]`, the last
// runs that acted on services, newest last.
//
//   # zidavoveva_service --history mysql --limit=2
//   TIME                 BY                 SERVICE  ACTION   RESULT        TOOK    PIDS
//   2026-12-11 03:00:02  alice@192.0.2.7    mysql    restart  ok            812 ms  4711 -> 4713
//   2026-12-11 03:05:40  root               mysql    stop     failed (255)  12.0 s  4713 -> 4713  The system ...
//
// The lines come from the history file and, so that a rotation just past
// does not empty the answer, the turned-over one before it (FILE.1). A line
// that is not a record (cut by a crash of the machine) is passed over. With
// --json every run is one record of type "history", as the file holds it.
// The file is root's (0600), and so is the question.
#pragma once

#include "Tavrel/Output/Base.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Cli::History::Show {

inline constexpr std::string_view RECORD_TYPE = "history";
inline constexpr long DEFAULT_LIMIT = 20;
// The most runs one answer shows.
inline constexpr long MAX_LIMIT = 1000000;

struct Query {
    std::optional<std::string> service{};
    long limit = DEFAULT_LIMIT;
    std::optional<std::chrono::system_clock::time_point> since{};
};

// --since: a date (2026-12-11) or a date and a time (2026-12-11 03:00, or
// with seconds, or with a T between), in local time; nothing for any other text.
std::optional<std::chrono::system_clock::time_point> parse_since(std::string_view text);
// --limit: a whole number from 1 to MAX_LIMIT; nothing for any other text.
std::optional<long> parse_limit(std::string_view text);

// The runs of `text` (history lines, oldest first) that the query asks for:
// the newest `limit` of them, oldest first.
std::vector<nlohmann::ordered_json> select(std::string_view text, const Query& query);
// The runs as a table with a header line, columns aligned.
std::string table(const std::vector<nlohmann::ordered_json>& runs);

// Reads the history files and shows what the query asks for; the exit status.
int show(Output::Base& out, bool records, const Query& query);

}  // namespace Tavrel::Cli::History::Show
