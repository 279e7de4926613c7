#include "Tavrel/Cli/History/Show.h"

#include "Tavrel/Cli/History.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

namespace Tavrel::Cli::History::Show {
namespace {

using testing::HasSubstr;

// Three runs, the middle one cut short by a crash of the machine.
const std::string LINES =
    R"({"time":"2026-12-10T23:59:00+00:00","duration_ms":812,"service":"crond","action":"restart","succeeded":true,"done":true,"status":0,"message":null,"pids_before":[10],"pids_after":[11],"uid":0,"login_uid":1000,"login_user":"alice","ssh_client":"192.0.2.7"})"
    "\n"
    R"({"time":"2026-12-11T00:30:00+00:00","duration_ms":5,"serv)"
    "\n"
    R"({"time":"2026-12-11T03:00:00+01:00","duration_ms":12000,"service":"mysql","action":"stop","succeeded":false,"done":false,"status":255,"message":"Its stop left it running.","pids_before":[20],"pids_after":[20],"uid":0,"login_uid":null,"login_user":null,"ssh_client":null})"
    "\n"
    R"({"time":"2026-12-11T04:00:00+00:00","duration_ms":40,"service":"crond","action":"stop","succeeded":true,"done":false,"status":0,"message":"The service “crond” is not running; nothing was done.","pids_before":[],"pids_after":[],"uid":0,"login_uid":1001,"login_user":null,"ssh_client":null})"
    "\n";

std::vector<std::string> services(const std::vector<nlohmann::ordered_json>& runs) {
    std::vector<std::string> words;
    for (const auto& run : runs)
        words.push_back(run["service"]);
    return words;
}

TEST(HistoryShow, TheNewestRunsOfAServiceSinceAMoment) {
    EXPECT_EQ(services(select(LINES, {})), (std::vector<std::string>{"crond", "mysql", "crond"}));
    EXPECT_EQ(services(select(LINES, {.limit = 2})), (std::vector<std::string>{"mysql", "crond"}));
    EXPECT_EQ(select(LINES, {.service = "crond"}).size(), 2u);
    EXPECT_EQ(select(LINES, {.service = "cron"}).size(), 0u);
    // 03:00 at +01:00 is 02:00 UTC: after 01:30 UTC, before 02:30 UTC.
    const auto at = [](const char* iso) { return *History::parse_iso_time(iso); };
    EXPECT_EQ(services(select(LINES, {.since = at("2026-12-11T01:30:00+00:00")})),
              (std::vector<std::string>{"mysql", "crond"}));
    EXPECT_EQ(services(select(LINES, {.since = at("2026-12-11T02:30:00+00:00")})),
              (std::vector<std::string>{"crond"}));
    EXPECT_TRUE(select("", {}).empty());
}

TEST(HistoryShow, ATableSaysWhoWhatHowItEndedAndThePids) {
    const std::string text = table(select(LINES, {}));
    EXPECT_THAT(text, HasSubstr("TIME  "));
    EXPECT_THAT(text, HasSubstr("2026-12-10 23:59:00  alice@192.0.2.7  crond    restart  ok"));
    EXPECT_THAT(text, HasSubstr("812 ms"));
    EXPECT_THAT(text, HasSubstr("10 -> 11"));
    EXPECT_THAT(text, HasSubstr("root "));
    EXPECT_THAT(text, HasSubstr("failed (255)  12.0 s  20 -> 20  Its stop left it running."));
    EXPECT_THAT(text, HasSubstr("uid 1001"));
    EXPECT_THAT(text, HasSubstr("nothing done"));
    EXPECT_THAT(text, HasSubstr("- -> -"));
    EXPECT_EQ(text.find(" \n"), std::string::npos) << "no line ends in spaces:\n" << text;
}

TEST(HistoryShow, SinceAndLimitTakeOnlyWhatTheySay) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(parse_since("2026-12-11"), History::parse_iso_time("2026-12-11T00:00:00+00:00"));
    EXPECT_EQ(parse_since("2026-12-11 03:07"), History::parse_iso_time("2026-12-11T03:07:00+00:00"));
    EXPECT_EQ(parse_since("2026-12-11T03:07:09"), History::parse_iso_time("2026-12-11T03:07:09+00:00"));
    for (const char* bad : {"", "yesterday", "2026-12-1", "2026-13-01", "2026-12-11 3:07", "2026-12-11 03:07:",
                            "2026-12-11 03:07:09 ", "2026-12-11x03:07", "2026-12-11 25:00"})
        EXPECT_FALSE(parse_since(bad)) << bad;
    ::unsetenv("TZ");
    ::tzset();
    EXPECT_EQ(parse_limit("1"), 1);
    EXPECT_EQ(parse_limit("1000000"), 1000000);
    for (const char* bad : {"", "0", "-3", "1000001", "2x", " 2", "99999999999999999999"})
        EXPECT_FALSE(parse_limit(bad)) << bad;
}

// A moment written in one zone is read back as the same moment.
TEST(HistoryShow, AWrittenTimeReadsBackAsTheSameMoment) {
    const auto now = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
    for (const char* zone : {"UTC", "Europe/Berlin", "America/St_Johns", "Asia/Kolkata"}) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        const std::string text = History::iso_time(now);
        EXPECT_EQ(History::parse_iso_time(text), now) << zone << ": " << text;
    }
    ::unsetenv("TZ");
    ::tzset();
    EXPECT_FALSE(History::parse_iso_time("2026-12-11T03:00:00"));
    EXPECT_FALSE(History::parse_iso_time("2026-12-11T03:00:00+01:00x"));
}

}  // namespace
}  // namespace Tavrel::Cli::History::Show
