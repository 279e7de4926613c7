// Log retrieval against a real systemd and journal (skipped outside the
// sandbox; run by tests/e2e/checks/service-logs).
#include "Tavrel/Init/Log.h"
#include "Tavrel/Init/Log/JournalFiles.h"

#include "testsupport/SystemdSandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>

namespace Box = Tavrel::TestSupport::SystemdSandbox;
namespace Log = Tavrel::Init::Log;

namespace {

class SystemdSandboxLog : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Box::inside())
            GTEST_SKIP() << Box::WHY_SKIPPED;
    }
};

}  // namespace

TEST_F(SystemdSandboxLog, StartupLogIsTheJournalExcerptOfTheFailedStart) {
    // The pause before the exit: journald ties lines to their unit by the
    // sender's control group, which it cannot read once a process that
    // wrote and exited at once has gone; such lines then miss the excerpt.
    Box::write_unit("tvcl-fail.service",
                    "[Service]\nExecStart=/bin/sh -c 'echo tvcl: out line; "
                    "echo tvcl: error: bad directive >&2; sleep 1; exit 1'\n");
    ASSERT_EQ(Box::systemctl({"daemon-reload"}), 0);
    // On a loaded machine journald now and then leaves some of a unit's
    // output lines out of its excerpt (seen: none of them, or only the
    // second). That is the journal's delivery, not the excerpt taken from
    // it, so a start whose lines did not all arrive is tried again, up to
    // three times.
    std::string text;
    bool found = false;
    for (int attempt = 0; attempt < 3 && !found; ++attempt) {
        Box::systemctl({"start", "tvcl-fail.service"});
        found = Box::wait_for(
            [&] {
                auto [ok, t] = Log::fetch_service_startup_log("tvcl-fail");
                text = t;
                return ok && t.find("tvcl: error: bad directive") != std::string::npos &&
                       t.find("tvcl: out line") != std::string::npos;
            },
            5);
    }
    EXPECT_TRUE(found) << text;
    EXPECT_NE(text.find("tvcl: out line"), std::string::npos) << text;
    EXPECT_EQ(text.find("Loaded:"), std::string::npos) << "the status header is not log";
}

// A unit that prints 2,000 lines and then its error: the excerpt is the end
// of what it printed (journalctl's --lines after --since counts from the
// start unless told to count back).
TEST_F(SystemdSandboxLog, StartupLogIsTheEndOfALongStart) {
    Box::write_unit("tvcl-long.service",
                    "[Service]\nExecStart=/bin/sh -c 'i=0; while [ $i -lt 2000 ]; do "
                    "echo tvcl filler $i; i=$((i+1)); done; echo tvcl: error: the last word; "
                    "sleep 1; exit 1'\n");
    ASSERT_EQ(Box::systemctl({"daemon-reload"}), 0);
    std::string text;
    bool found = false;
    for (int attempt = 0; attempt < 3 && !found; ++attempt) {
        Box::systemctl({"start", "tvcl-long.service"});
        found = Box::wait_for(
            [&] {
                auto [ok, t] = Log::fetch_service_startup_log("tvcl-long");
                text = t;
                return ok && t.find("tvcl: error: the last word") != std::string::npos;
            },
            5);
    }
    EXPECT_TRUE(found) << text;
    EXPECT_EQ(text.find("tvcl filler 0\n"), std::string::npos) << text;
    EXPECT_LE(std::count(text.begin(), text.end(), '\n'), 40) << text;
}

TEST_F(SystemdSandboxLog, JournalStandsInForTheMissingSystemLogs) {
    Box::write_unit("tvcl-say.service",
                    "[Service]\nType=oneshot\nSyslogIdentifier=tvclprog\n"
                    "ExecStart=/bin/echo tvcl journal line\n");
    ASSERT_EQ(Box::systemctl({"daemon-reload"}), 0);
    ASSERT_EQ(Box::systemctl({"start", "tvcl-say.service"}), 0);
    std::string text;
    EXPECT_TRUE(Box::wait_for([&] {
        auto [ok, t] = Log::fetch_service_log_messages("rsyslogd", "tvclprog");
        text = t;
        return ok && t.find("tvclprog[") != std::string::npos;
    })) << text;
    EXPECT_NE(text.find("tvcl journal line"), std::string::npos) << text;
}

// journald's own files, read as the startup log reads them: the one written
// to a moment ago is chosen, and none when the moment is still to come.
TEST_F(SystemdSandboxLog, TheJournalFilesOfThisRunAreToldByTheirHeaders) {
    Box::write_unit("tvcl-tick.service", "[Service]\nType=oneshot\nExecStart=/bin/echo tvcl tick\n");
    ASSERT_EQ(Box::systemctl({"daemon-reload"}), 0);
    const auto now_us = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count());
    ASSERT_EQ(Box::systemctl({"start", "tvcl-tick.service"}), 0);
    std::optional<Log::JournalFiles::Selection> chosen;
    EXPECT_TRUE(Box::wait_for([&] {
        chosen = Log::JournalFiles::written_since(Log::JOURNAL_DIRS, now_us);
        return chosen && !chosen->paths.empty();
    }));
    ASSERT_TRUE(chosen);
    EXPECT_TRUE(std::any_of(chosen->paths.begin(), chosen->paths.end(),
                            [](const std::string& p) { return p.ends_with("/system.journal"); }));
    const auto later = Log::JournalFiles::written_since(Log::JOURNAL_DIRS, now_us + 3600000000ULL);
    ASSERT_TRUE(later);
    EXPECT_TRUE(later->paths.empty());
}
