#include "Tavrel/Process/Kill.h"

#include "Tavrel/Process/Kill/Target.h"
#include "Tavrel/Foundation/Console.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Process/Proc/Bin.h"
#include "testsupport/InChild.h"
#include "testsupport/TempDir.h"
#include "testsupport/TestChild.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <sstream>

using namespace Tavrel;
using Tavrel::TestSupport::TestChild::spawn;
using Tavrel::TestSupport::TestChild::unique_name;

namespace {

TestSupport::TestChild::SpawnOptions supervised(bool ignore_term = false) {
    TestSupport::TestChild::SpawnOptions o;
    o.supervised = true;
    o.ignore_term = ignore_term;
    return o;
}

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The progress lines a verbose call sends the run's reader, each a whole
// line of kind "progress"; standard output itself must stay untouched.
struct OutputCapture {
    std::ostringstream text;
    OutputCapture() {
        ::testing::internal::CaptureStdout();
        Tavrel::Foundation::Console::set_sink([this](std::string_view kind, std::string_view line) {
            text << kind << ": " << line << "\n";
        });
    }
    ~OutputCapture() {
        Tavrel::Foundation::Console::set_sink({});
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    }
};

// The warnings of a test go to a log of its own.
struct LogToTemp {
    TestSupport::TempDir dir;
    std::string saved = Tavrel::Foundation::Logger::STD_LOG_FILE;
    LogToTemp() {
        ::chmod(dir.path().c_str(), 0777);  // also for a test body that drops to nobody
        Tavrel::Foundation::Logger::STD_LOG_FILE = dir / "error_log";
        Tavrel::Foundation::Logger::clear_singleton_stash();
    }
    ~LogToTemp() {
        Tavrel::Foundation::Logger::STD_LOG_FILE = saved;
        Tavrel::Foundation::Logger::clear_singleton_stash();
    }
    std::string text() const { return TestSupport::TempDir::read(dir / "error_log"); }
};

}  // namespace

TEST(Safekill, ProcessThatEndsOnTermIsNotKilled) {
    std::string name = unique_name("tvterm");
    auto c = spawn("/bin/sleep", {name, "30"}, supervised());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Tavrel::Process::Kill::safekill(name, false, 5), 1);
    EXPECT_LT(seconds_since(start), 1.0);
    EXPECT_EQ(c.ended_by(), SIGTERM);
}

TEST(Safekill, IgnoredTermEscalatesToKillAfterTheGracePeriod) {
    std::string name = unique_name("tvstubborn");
    auto c = spawn("/bin/sleep", {name, "30"}, supervised(true));
    OutputCapture out;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Tavrel::Process::Kill::safekill(name, true, 0.3), 1);
    double took = seconds_since(start);
    EXPECT_GE(took, 0.3);
    EXPECT_LT(took, 1.5);
    EXPECT_EQ(c.ended_by(), SIGKILL);
    EXPECT_NE(out.text.str().find("progress: Terminating " + name + " …\n"), std::string::npos)
        << out.text.str();
    EXPECT_NE(out.text.str().find("progress: Killing " + name + " …\n"), std::string::npos);
    EXPECT_NE(out.text.str().find("progress: " + name + " ended.\n"), std::string::npos);
}

TEST(Safekill, OwnChildThatEndsCountsAsGoneBeforeItIsReaped) {
    std::string name = unique_name("tvchild");
    auto c = spawn("/bin/sleep", {name, "30"});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Tavrel::Process::Kill::safekill(name, false, 5), 1);
    EXPECT_LT(seconds_since(start), 1.0);
    // The escalation may already have reaped it (it reaps its own children).
    c.wait();
}

TEST(Safekill, NothingFoundAndImmunePids) {
    OutputCapture out;
    EXPECT_EQ(Tavrel::Process::Kill::safekill(unique_name("tvnone"), true, 1), 0);
    EXPECT_NE(out.text.str().find("progress: No process of"), std::string::npos);

    std::string name = unique_name("tvimmune");
    auto c = spawn("/bin/sleep", {name, "30"}, supervised());
    EXPECT_EQ(Tavrel::Process::Kill::safekill(name, false, 1, {c.pid()}), 0);
    EXPECT_FALSE(c.ended_by(0.05));  // still running
    EXPECT_EQ(Tavrel::Process::Kill::safekill(std::vector<std::string>{"x-none", name}, false, 1), 1);
}

TEST(Killall, NeverSignalsTheCallerEvenWhenItMatches) {
    // Signal 0 only probes, so this is harmless to other runs of this program.
    std::string self_name = Tavrel::Process::Proc::Bin::getbin(::getpid());
    self_name = self_name.substr(self_name.rfind('/') + 1);
    auto r = Tavrel::Process::Kill::killall("0", self_name);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.summary.find(" " + std::to_string(::getpid()) + " "), std::string::npos);
    EXPECT_EQ(r.summary.find("(" + std::to_string(::getpid())), std::string::npos);
    EXPECT_EQ(r.summary.find(" " + std::to_string(::getpid()) + ")"), std::string::npos);
}

TEST(SafekillMultipid, EndsGivenPidsAndSkipsReservedOnes) {
    LogToTemp log;
    auto a = spawn("/bin/sleep", {unique_name("tvmulti"), "30"}, supervised());
    auto b = spawn("/bin/sleep", {unique_name("tvmulti"), "30"}, supervised(true));
    EXPECT_EQ(Tavrel::Process::Kill::safekill_multipid({a.pid(), b.pid()}, false, 0.2), 1);
    EXPECT_EQ(a.ended_by(), SIGTERM);
    EXPECT_EQ(b.ended_by(), SIGKILL);
    // A bad pid (a pid file that said 1) costs only itself.
    for (pid_t bad : {0, 1, -1, -5})
        EXPECT_EQ(Tavrel::Process::Kill::safekill_multipid({bad}), 0);
    auto c = spawn("/bin/sleep", {unique_name("tvmulti"), "30"}, supervised());
    OutputCapture out;
    EXPECT_EQ(Tavrel::Process::Kill::safekill_multipid({1, c.pid(), 0}, true, 0.2), 1);
    EXPECT_EQ(c.ended_by(), SIGTERM);
    EXPECT_NE(out.text.str().find("Terminating " + std::to_string(c.pid()) + " "),
              std::string::npos)
        << out.text.str();
    EXPECT_NE(log.text().find("Skipping the process ID 1"), std::string::npos);
    EXPECT_THROW(Tavrel::Process::Kill::Target::open(1), Tavrel::Foundation::PlainError);
}

// Processes that may not be signalled (EPERM) are not gone: whether no send
// at all went through, or the one that could be ended has ended and the
// other still refuses the kill signal, the answer is 0.
TEST(SafekillMultipid, ProcessesThatRefuseEverySignalAreNotGone) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to nobody";
    LogToTemp log;
    auto privileged = spawn("/bin/sleep", {unique_name("tvperm"), "30"}, supervised());
    const pid_t target = privileged.pid();
    const int code = TestSupport::in_child([target] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            return 3;
        if (Tavrel::Process::Kill::safekill_multipid({target}, false, 0.1) != 0)
            return 1;
        pid_t own = ::fork();
        if (own == 0) {
            ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const int mixed = Tavrel::Process::Kill::safekill_multipid({own, target}, false, 0.1);
        ::kill(own, SIGKILL);
        return mixed == 0 ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(privileged.ended_by(0.05));  // never reached
}

TEST(SafekillMultipid, GoneProcessesAreNotSignalledAgain) {
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(Tavrel::Process::Kill::safekill_multipid({pid}, false, 0.1), 0);  // nothing could be signalled
}

TEST(Target, PidfdSurvivesPidReuseChecks) {
    auto c = spawn("/bin/sleep", {unique_name("tvtarget"), "30"});
    auto t = Tavrel::Process::Kill::Target::open(c.pid());
    EXPECT_TRUE(t.has_pidfd());
    EXPECT_TRUE(t.alive());
    ::kill(c.pid(), SIGKILL);
    for (int i = 0; i < 200 && t.alive(); ++i)
        ::usleep(2000);
    EXPECT_FALSE(t.alive());  // a zombie has ended, before it is reaped
    c.stop();
    // Once reaped, the pidfd still names the old process: no signal reaches a newcomer.
    EXPECT_EQ(t.send(SIGTERM), ESRCH);
}

TEST(Killall, SignalsMatchesOnceAndSummarises) {
    std::string name = unique_name("tvkillall");
    auto a = spawn("/bin/sleep", {name, "30"}, supervised());
    auto r = Tavrel::Process::Kill::killall("-TERM", name);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.signalled, 1);
    EXPECT_EQ(r.summary,
              "Sent signal 15 to 1 process (" + std::to_string(a.pid()) + ") named " + name + ".");
    EXPECT_EQ(a.ended_by(), SIGTERM);

    auto none = Tavrel::Process::Kill::killall("HUP", name);
    EXPECT_TRUE(none.ok);
    EXPECT_EQ(none.signalled, 0);
    EXPECT_EQ(none.summary, "Sent signal 1 to 0 processes named " + name + ".");

    auto b = spawn("/bin/sleep", {name, "30"}, supervised());
    auto c = spawn("/bin/sleep", {name, "30"}, supervised());
    auto two = Tavrel::Process::Kill::killall("9", name);
    EXPECT_EQ(two.signalled, 2);
    EXPECT_NE(two.summary.find("2 processes ("), std::string::npos);
    EXPECT_EQ(b.ended_by(), SIGKILL);
    EXPECT_EQ(c.ended_by(), SIGKILL);
}

TEST(Killall, BadArgumentsAndReservedName) {
    std::string name = unique_name("tvbad");
    auto a = spawn("/bin/sleep", {name, "30"}, supervised());
    auto r = Tavrel::Process::Kill::killall("WINCH", name);  // not in the table
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.signalled, 0);
    EXPECT_FALSE(Tavrel::Process::Kill::killall("TERM", Tavrel::Process::PsParser::Deadcmd()).ok);
    EXPECT_FALSE(a.ended_by(0.05));
    EXPECT_THROW(Tavrel::Process::Kill::killall("TERM", "systemd"), Tavrel::Foundation::PlainError);
}

TEST(EnsureProcMounted, PresentProcfsIsReported) {
    auto [ok, text] = Tavrel::Process::Kill::ensure_proc_mounted();
    EXPECT_TRUE(ok);
    EXPECT_FALSE(text.empty());
}
