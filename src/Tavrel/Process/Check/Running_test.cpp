#include "Tavrel/Process/Check/Running.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Process/Proc/PID.h"
#include "testsupport/FakeProc.h"
#include "testsupport/TestChild.h"

#include <gtest/gtest.h>

using namespace Tavrel;
using Running = Tavrel::Process::Check::Running;

namespace {

std::string failure_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const Tavrel::Foundation::Exception& e) {
        return e.type_path();
    }
    return "";
}

Running::Options options(pid_t pid, Running::Pattern pattern, std::string user = "root",
                         bool ignore = true) {
    Running::Options o;
    o.pid = std::to_string(pid);
    o.user = std::move(user);
    o.pattern = std::move(pattern);
    o.use_services_ignore = ignore;
    return o;
}

}  // namespace

TEST(Running, AcceptsTheServiceProcess) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "expects to run as root";
    std::string name = TestSupport::TestChild::unique_name("tvsvc");
    auto c = TestSupport::TestChild::spawn("/bin/sleep", {"/usr/sbin/" + name, "30"});
    EXPECT_TRUE(Running(options(c.pid(), name)).check_all());
    EXPECT_TRUE(Running(options(c.pid(), name, "0")).check_all());  // owners compare as texts
    auto re = std::make_shared<const Tavrel::Foundation::Regex>("/usr/sbin/tvsvc\\d+x\\d+ 30$");
    EXPECT_TRUE(Running(options(c.pid(), re)).check_all());
    EXPECT_EQ(failure_of([&] { Running(options(c.pid(), name, "nobody")).check_all(); }),
              "ProcessCheck::WrongOwner");
}

TEST(Running, PlainPatternIsLiteralAndMustMatch) {
    auto c = TestSupport::TestChild::spawn("/bin/sleep", {"tvdot-a+b", "30"});
    EXPECT_TRUE(Running(options(c.pid(), "-a+b", std::to_string(::geteuid()))).check_all());
    EXPECT_EQ(failure_of([&] { Running(options(c.pid(), "t.dot")).check_all(); }),
              "ProcessCheck::CommandMismatch");
}

TEST(Running, StartStopScriptIsIgnoredOnlyWithTheIgnoreList) {
    std::string uid = std::to_string(::geteuid());
    auto c = TestSupport::TestChild::spawn("/bin/sleep", {"/usr/local/bin/stopexim", "30"});
    EXPECT_EQ(failure_of([&] { Running(options(c.pid(), "exim", uid, true)).check_all(); }),
              "ProcessCheck::IgnoredCommand");
    EXPECT_TRUE(Running(options(c.pid(), "exim", uid, false)).check_all());
}

TEST(Running, BadArgumentsAndEndedProcesses) {
    EXPECT_EQ(failure_of([] { Running(options(0, "x")); }), "Param::Invalid");
    auto c = TestSupport::TestChild::spawn("/bin/sleep", {"tvgone", "30"});
    EXPECT_EQ(failure_of([&] { Running(options(c.pid(), "")); }), "Param::Missing");
    EXPECT_EQ(failure_of([&] { Running(options(c.pid(), std::shared_ptr<const Tavrel::Foundation::Regex>())); }),
              "Param::Invalid");
    Running check(options(c.pid(), "tvgone", std::to_string(::geteuid())));
    EXPECT_TRUE(check.pid_object().is_running());
    c.stop();
    EXPECT_EQ(failure_of([&] { check.check_all(); }), "Proc::Ended");
}

// A pid reused between the first look and the check: the process seen first
// (start time 5000) has exited and another one (start time 7000) got its pid.
// Its command line and owner must not vouch for the service that is gone,
// even when the newcomer happens to match them (another instance, say).
TEST(Running, PidReusedAfterTheFirstLookIsNotTheService) {
    TestSupport::FakeProc proc;
    auto incarnation = [&](const std::string& starttime) {
        proc.write("4321/stat", "4321 (exim) S 1 4321 4321 0 -1 4194560 50 0 0 0 1 0 0 0 20 0 1 0 " +
                                    starttime + " 20000000 500 18446744073709551615 0 0 0\n");
        proc.write("4321/cmdline", std::string("/usr/sbin/exim\0-bd\0", 19));
    };
    incarnation("5000");
    Running check(options(4321, "exim", std::to_string(::geteuid())));
    incarnation("7000");
    EXPECT_EQ(failure_of([&] { check.check_all(); }), "Proc::Ended");
    // A handle made after the reuse judges the process that holds the pid now.
    EXPECT_TRUE(Running(options(4321, "exim", std::to_string(::geteuid()))).check_all());
}
