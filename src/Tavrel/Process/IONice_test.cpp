#include "Tavrel/Process/IONice.h"
#include "testsupport/InChild.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace {

std::string show(std::optional<bool> v) {
    return v ? (*v ? "1" : "0") : "none";
}
}  // namespace

TEST(IONice, ClassNamesAndDigits) {
    EXPECT_EQ(Tavrel::Process::IONice::class_number("idle"), 3);
    EXPECT_EQ(Tavrel::Process::IONice::class_number("real time"), 1);
    EXPECT_EQ(Tavrel::Process::IONice::class_number("2"), 2);
    EXPECT_FALSE(Tavrel::Process::IONice::class_number("4"));
    EXPECT_FALSE(Tavrel::Process::IONice::class_number("fast"));
}

TEST(IONice, InvalidArgumentsRunNothing) {
    auto saved = Tavrel::Process::IONice::IONICE_PATH;
    Tavrel::Process::IONice::IONICE_PATH = "/nonexistent/ionice";  // would make a run impossible anyway
    EXPECT_FALSE(Tavrel::Process::IONice::ionice("idle", "8").has_value());
    EXPECT_FALSE(Tavrel::Process::IONice::ionice("5", "1").has_value());
    EXPECT_FALSE(Tavrel::Process::IONice::ionice("idle", "7").has_value());  // missing program
    Tavrel::Process::IONice::IONICE_PATH = saved;
}

TEST(IONice, RootSetsTheClassAndResetClearsIt) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to choose a class";
    std::string text = Tavrel::TestSupport::text_from_child([] {
        std::string out = show(Tavrel::Process::IONice::ionice("idle", "7"));
        out += "|" + Tavrel::Process::IONice::get_ionice().value_or("?");
        out += "|" + show(Tavrel::Process::IONice::reset());
        out += "|" + Tavrel::Process::IONice::get_ionice().value_or("?");
        return out;
    });
    EXPECT_EQ(text, "1|idle|1|none: prio 0");
}

TEST(IONice, UnprivilegedCallerPassesOnlyTheLevel) {
    if (geteuid() != 0)
        GTEST_SKIP() << "drops from root to nobody";
    // Without a class option ionice picks best-effort, so "idle" must not appear.
    std::string text = Tavrel::TestSupport::text_from_child([] {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return std::string("setuid failed");
        std::string out = show(Tavrel::Process::IONice::ionice("idle", "7"));
        return out + "|" + Tavrel::Process::IONice::get_ionice().value_or("?");
    });
    EXPECT_EQ(text, "1|best-effort: prio 7");
}

TEST(IONice, ResetRunsNothingWhenNoClassIsSet) {
    std::string text = Tavrel::TestSupport::text_from_child([] {
        // No class, whatever the test runner was started with; and a program
        // that fails: reset answers true only if it never ran.
        constexpr int WHO_PROCESS = 1;
        if (::syscall(SYS_ioprio_set, WHO_PROCESS, 0, 0) != 0)
            return std::string("ioprio_set failed");
        Tavrel::Process::IONice::IONICE_PATH = "/bin/false";
        return show(Tavrel::Process::IONice::reset());
    });
    EXPECT_EQ(text, "1");
}
