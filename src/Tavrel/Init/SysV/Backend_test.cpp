#include "Tavrel/Init/SysV/Backend.h"

#include "Tavrel/Process/Kill/Target.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Run/SafeRun/LastStatus.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Config/OS.h"
#include "Tavrel/Init/SysV/Startup.h"
#include "Tavrel/Init/SysV/StartupLog.h"
#include "Tavrel/Init/Systemd/Systemctl.h"
#include "testsupport/FakeService.h"
#include "testsupport/InChild.h"
#include "testsupport/TempDir.h"
#include "testsupport/TestChild.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>

namespace {

using Tavrel::Init::SysV::Backend;
using Tavrel::TestSupport::FakeService;
using Tavrel::TestSupport::TempDir;
namespace TestChild = Tavrel::TestSupport::TestChild;

class InitdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The service runs as this test's account, as its children do.
        svc_.owner = std::to_string(::geteuid());
        saved_dir_ = Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR;
        Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR = tmp_ / "startup";
        saved_wait_ = Backend::PIDFILE_WAIT_TIME;
        Backend::PIDFILE_WAIT_TIME = 2;
        Backend::PIDFILE_POLL_INTERVAL = 0.01;
    }
    void TearDown() override {
        Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR = saved_dir_;
        Backend::PIDFILE_WAIT_TIME = saved_wait_;
        Backend::PIDFILE_POLL_INTERVAL = 0.2;
    }

    // An init script that records each action and exits with the code in
    // the file "<action>.code" when there is one.
    std::string init_script() {
        const std::string dir = tmp_.path();
        std::string path = tmp_.write("init.d/tvtest",
                                      "#!/bin/sh\n"
                                      "echo \"$1 out\"; echo \"$1 err\" >&2\n"
                                      "echo \"$1\" >>" + dir + "/actions\n"
                                      "[ -f " + dir + "/$1.code ] && exit $(cat " + dir + "/$1.code)\n"
                                      "exit 0\n");
        ::chmod(path.c_str(), 0755);
        return path;
    }
    std::string log() { return TempDir::read(tmp_ / "startup/tvtest"); }
    std::string pid_file_for(pid_t pid, mode_t mode = 0644) {
        std::string path = tmp_.write("run/tvtest.pid", std::to_string(pid) + "\n");
        ::chmod(path.c_str(), mode);
        return path;
    }
    static bool alive(pid_t pid) {
        return Tavrel::Process::Kill::Target::open(pid).alive();
    }

    TempDir tmp_;
    FakeService svc_;
    std::string saved_dir_;
    double saved_wait_ = 30;
};

TEST_F(InitdTest, StartRestartReloadRunTheScriptWithTheirActions) {
    Backend backend({.service = "tvtest", .init_script = init_script()});
    EXPECT_TRUE(backend.start(svc_));
    EXPECT_EQ(log(), "start out\nstart err\n");
    EXPECT_EQ(backend.restart(svc_), std::optional<bool>(true));
    EXPECT_EQ(backend.reload(svc_), std::optional<bool>(true));
    EXPECT_EQ(log(), "reload out\nreload err\n");
    EXPECT_EQ(TempDir::read(tmp_ / "actions"), "start\nstart\nreload\n");

    // A failing start: false, one warning with the command and the exit.
    tmp_.write("start.code", "3");
    svc_.warns.clear();
    EXPECT_FALSE(backend.start(svc_));
    ASSERT_EQ(svc_.warns.size(), 1u);
    EXPECT_NE(svc_.warns[0].find(backend.init_script() + " start"), std::string::npos);
    EXPECT_NE(svc_.warns[0].find("3"), std::string::npos) << svc_.warns[0];
    EXPECT_EQ(backend.restart(svc_), std::optional<bool>(false));
    tmp_.write("reload.code", "1");
    EXPECT_EQ(backend.reload(svc_), std::optional<bool>(false));

    // The stop adds to the failed start's output instead of replacing it.
    EXPECT_FALSE(backend.start(svc_));
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_EQ(log(), "start out\nstart err\nstop out\nstop err\n");
}

// The backend hands the run's started-by-init on to the launcher: started
// by init, the start of a service with a unit of systemd's replaces the run
// (the script's exit is the run's), otherwise it is waited for.
TEST_F(InitdTest, ARunStartedByInitBecomesTheScriptOfAUnit) {
    namespace Sd = Tavrel::Init::Systemd::Systemctl;
    const std::string saved_ctl = Sd::SYSTEMCTL, saved_run_dir = Tavrel::Config::OS::SYSTEMD_RUN_DIR;
    Sd::SYSTEMCTL = tmp_.write("systemctl", "#!/bin/sh\nexit 0\n");  // every unit is usable
    ::chmod(Sd::SYSTEMCTL.c_str(), 0755);
    Tavrel::Config::OS::SYSTEMD_RUN_DIR = tmp_.path();
    tmp_.write("start.code", "7");
    for (const bool by_init : {false, true}) {
        const int status = Tavrel::TestSupport::in_child([&] {
            Backend backend({.service = "tvtest", .init_script = init_script(), .started_by_init = by_init});
            (void)backend.start(svc_);
            return 0;  // returned: the script ran as a child
        });
        EXPECT_EQ(status, by_init ? 7 : 0) << (by_init ? "started by init" : "started otherwise");
    }
    Sd::SYSTEMCTL = saved_ctl;
    Tavrel::Config::OS::SYSTEMD_RUN_DIR = saved_run_dir;
}

// An init script whose start, stop or reload never returns fails the run at
// the service's bound, with the script, the action and the bound named,
// instead of holding the run (and its lock) for ever.
TEST_F(InitdTest, AHangingScriptActionFailsAtTheServiceBound) {
    const double saved_grace = Tavrel::Init::SysV::COMMAND_KILL_GRACE;
    const double saved_gone = Tavrel::Init::SysV::COMMAND_GONE_WAIT;
    Tavrel::Init::SysV::COMMAND_KILL_GRACE = 0.2;
    Tavrel::Init::SysV::COMMAND_GONE_WAIT = 0.1;
    const std::string script = tmp_.write("init.d/tvtest",
                                          "#!/bin/sh\n"
                                          "echo \"$1: waiting\"\n"
                                          "exec sleep 60\n");
    ::chmod(script.c_str(), 0755);
    svc_.timeout = 0.3;
    Backend backend({.service = "tvtest", .init_script = script});
    const std::vector<std::pair<std::string, std::function<void()>>> actions = {
        {"start", [&] { backend.start(svc_); }},
        {"stop", [&] { backend.stop(svc_); }},
        {"reload", [&] { backend.reload(svc_); }},
    };
    for (const auto& [action, call] : actions) {
        const auto began = std::chrono::steady_clock::now();
        try {
            call();
            ADD_FAILURE() << action << ": no failure";
        } catch (const Tavrel::Foundation::Exception& e) {
            EXPECT_TRUE(e.isa("Services::CommandTimedOut")) << action << ": " << e.class_name();
            const std::string text = e.to_string_no_id();
            EXPECT_NE(text.find("“" + script + " " + action + "”"), std::string::npos) << text;
            EXPECT_NE(text.find("0.3 seconds"), std::string::npos) << text;
        }
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        EXPECT_LT(took, 1.5) << action;
        EXPECT_NE(log().find(action + ": waiting"), std::string::npos) << log();
    }
    Tavrel::Init::SysV::COMMAND_KILL_GRACE = saved_grace;
    Tavrel::Init::SysV::COMMAND_GONE_WAIT = saved_gone;
}

TEST_F(InitdTest, NothingLaunchedIsAFailure) {
    Backend backend({.service = "tvtest", .init_script = tmp_ / "init.d/missing"});
    EXPECT_FALSE(backend.start(svc_));
    EXPECT_TRUE(FakeService::any_has(svc_.warns, "not an executable file"));
    EXPECT_EQ(backend.restart(svc_), std::optional<bool>(false));
    EXPECT_EQ(backend.reload(svc_), std::optional<bool>(false));

    // No script and no binary.
    Backend none({.service = "tvtest", .init_script = ""});
    EXPECT_FALSE(none.start(svc_));
    EXPECT_EQ(none.restart(svc_), std::optional<bool>(false));
    // Without a script there is nothing to reload, which is no failure.
    EXPECT_EQ(none.reload(svc_), std::optional<bool>(true));
    // Nothing to stop either: stop still answers true, and says so.
    EXPECT_TRUE(none.stop(svc_));
    EXPECT_TRUE(FakeService::any_has(svc_.infos, "Nothing could be confirmed as stopped"));
}

TEST_F(InitdTest, PanelDaemonRunsItsBinaryWithItsArguments) {
    const std::string bin = tmp_.write("bin/tvtestd",
                                       "#!/bin/sh\necho \"$*\" >>" + tmp_.path() + "/calls\n");
    ::chmod(bin.c_str(), 0755);
    svc_.tavrel = true;
    svc_.binary = bin;
    svc_.start_args = std::vector<std::string>{"--start"};
    svc_.restart_args_ = std::vector<std::string>{"--restart", "now"};
    svc_.pid_file = tmp_.write("run/tvtest.pid", "999999\n");
    // The script is ignored for a panel daemon.
    Backend backend({.service = "tvtest", .init_script = init_script()});

    EXPECT_TRUE(backend.start(svc_));
    EXPECT_FALSE(std::filesystem::exists(svc_.pid_file)) << "stale pid file removed";
    tmp_.write("run/tvtest.pid", "999999\n");
    EXPECT_EQ(backend.restart(svc_), std::optional<bool>(true));
    EXPECT_FALSE(std::filesystem::exists(svc_.pid_file));
    // No shutdown arguments: no stop command.
    EXPECT_TRUE(backend.stop(svc_));
    svc_.stop_args = std::vector<std::string>{"--stop"};
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_EQ(TempDir::read(tmp_ / "calls"), "--start\n--restart now\n--stop\n");
    EXPECT_FALSE(std::filesystem::exists(tmp_ / "actions"));
}

TEST_F(InitdTest, PidFileStopSignalsTheRecordedProcessAndWaits) {
    Backend backend({.service = "tvtest", .init_script = ""});
    auto child = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tvinitd"), "30"});
    svc_.pid_file = pid_file_for(child.pid());
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_TRUE(FakeService::any_has(svc_.debugs, "stopped by its pid file"));
    // The child is not reaped by anyone but us: a zombie counts as gone.
    EXPECT_FALSE(alive(child.pid()));
    EXPECT_TRUE(svc_.infos.empty());
}

// Some init scripts only signal the daemon and return, and some daemons
// remove their pid file before they have ended: the stop still waits for the
// process the pid file named, so that a start right after finds it gone.
TEST_F(InitdTest, ScriptStopWaitsForTheProcessThePidFileNamed) {
    auto child = TestChild::spawn(
        "/bin/sh", {TestChild::unique_name("tvinitd"), "-c",
                    "trap 'sleep 0.4; exit 0' TERM; while :; do sleep 0.05; done"});
    svc_.pid_file = pid_file_for(child.pid());
    std::string script = tmp_.write("init.d/tvtest",
                                    "#!/bin/sh\n"
                                    "[ \"$1\" = stop ] || exit 0\n"
                                    "pid=$(cat " + svc_.pid_file + ")\n"
                                    "rm -f " + svc_.pid_file + "\n"
                                    "kill -TERM \"$pid\"\n");
    ::chmod(script.c_str(), 0755);
    Backend backend({.service = "tvtest", .init_script = script});
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_FALSE(alive(child.pid()));
}

// After an orderly stop the wait for the pid file's process judges that
// process as the pid step does: a pid file naming this run (or its shell), or
// a pid reused by a later process, is not waited for.
TEST_F(InitdTest, TheWaitAfterAnOrderlyStopTrustsOnlyAJudgedPidFile) {
    Backend backend({.service = "tvtest", .init_script = init_script()});
    const auto timed_stop = [&] {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(backend.stop(svc_));
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };

    svc_.pid_file = pid_file_for(::getppid());
    EXPECT_LT(timed_stop(), 1.0);

    auto child = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tvinitd"), "30"});
    svc_.pid_file = pid_file_for(child.pid());
    struct timespec hour_ago[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, svc_.pid_file.c_str(), hour_ago, 0), 0);
    EXPECT_LT(timed_stop(), 1.0);
    EXPECT_TRUE(alive(child.pid()));
}

TEST_F(InitdTest, PidExeDecidesWhetherTheProcessIsTheService) {
    Backend backend({.service = "tvtest", .init_script = ""});
    auto child = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tvinitd"), "30"});
    svc_.pid_file = pid_file_for(child.pid());

    svc_.exe_pattern = "/nginx$";
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_TRUE(alive(child.pid()));
    EXPECT_TRUE(FakeService::any_has(svc_.warns, "not the service's program"));
    EXPECT_TRUE(FakeService::any_has(svc_.infos, "Nothing could be confirmed"));

    svc_.exe_pattern = "/sleep$";
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_FALSE(alive(child.pid()));
}

TEST_F(InitdTest, ADeletedExecutableStillMatches) {
    // A daemon whose binary was replaced on disk after it started.
    const std::string copy = tmp_ / "tvsleepd";
    std::filesystem::copy_file("/bin/sleep", copy);
    ::chmod(copy.c_str(), 0755);
    auto child = TestChild::spawn(copy, {copy, "30"});
    ASSERT_EQ(::unlink(copy.c_str()), 0);
    svc_.pid_file = pid_file_for(child.pid());
    svc_.exe_pattern = "/tvsleepd$";
    Backend backend({.service = "tvtest", .init_script = ""});
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_FALSE(alive(child.pid()));
}

TEST_F(InitdTest, LeftoversAreEndedOnlyWhenThePidFileDidNotStopTheService) {
    Backend backend({.service = "tvtest", .init_script = ""});
    const std::string rule = TestChild::unique_name("tvleft");
    auto main = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tvmain"), "30"},
                                 {.supervised = true});
    auto left = TestChild::spawn("/bin/sleep", {rule, "30"}, {.supervised = true});
    svc_.rules = {rule};
    svc_.owner = std::to_string(::geteuid());
    svc_.pid_file = pid_file_for(main.pid());
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_FALSE(alive(main.pid()));
    EXPECT_TRUE(alive(left.pid()));

    svc_.pid_file.clear();
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_FALSE(alive(left.pid()));
    EXPECT_TRUE(FakeService::any_has(svc_.debugs, "Leftover processes"));
    EXPECT_TRUE(svc_.infos.empty());
}

// A stop that left a daemon running would still be reported as done: the
// process that outlives the wait after TERM gets KILL.
TEST_F(InitdTest, AProcessThatIgnoresTermIsKilledAfterTheWait) {
    Backend::PIDFILE_WAIT_TIME = 0.3;
    Backend backend({.service = "tvtest", .init_script = ""});
    auto child = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tvinitd"), "30"},
                                  {.ignore_term = true});
    svc_.pid_file = pid_file_for(child.pid());
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_FALSE(alive(child.pid()));
    EXPECT_TRUE(FakeService::any_has(svc_.warns, "gets SIGKILL"));
    EXPECT_TRUE(FakeService::any_has(svc_.debugs, "stopped by its pid file"));
    EXPECT_TRUE(svc_.infos.empty());
    // Nothing left to stop: the ports step alone still counts.
    svc_.ports_killed = true;
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_TRUE(svc_.infos.empty());
}

TEST_F(InitdTest, PidFilesThatNameNothingToSignal) {
    Backend backend({.service = "tvtest", .init_script = ""});
    // A process that has ended: nothing signalled, nothing counted.
    pid_t dead = TestChild::fork_exec("/bin/true", {"true"}, {});
    ::waitpid(dead, nullptr, 0);
    svc_.pid_file = pid_file_for(dead);
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_TRUE(FakeService::any_has(svc_.debugs, "not running"));
    EXPECT_TRUE(FakeService::any_has(svc_.infos, "Nothing could be confirmed"));

    // Pids that are never signalled: init, ourselves, our parent, nonsense.
    for (const std::string& text :
         {std::string("1"), std::to_string(::getpid()), std::to_string(::getppid()),
          std::string("-5"), std::string("12ab"), std::string("99999999999")}) {
        svc_.warns.clear();
        svc_.pid_file = tmp_.write("run/tvtest.pid", text + "\n");
        EXPECT_TRUE(backend.stop(svc_));
        EXPECT_EQ(svc_.warns.size(), 1u) << text;
    }
    // An empty first line or 0: quietly nothing.
    for (const std::string& text : {std::string("\n123\n"), std::string("0\n"), std::string("")}) {
        svc_.warns.clear();
        svc_.pid_file = tmp_.write("run/tvtest.pid", text);
        EXPECT_TRUE(backend.stop(svc_));
        EXPECT_TRUE(svc_.warns.empty()) << text;
    }
}

// Root's own pid file, left by a service that ended long ago, whose pid now
// belongs to a process started later: that process is not the service's.
TEST_F(InitdTest, APidFileOlderThanItsProcessNamesAReusedPid) {
    Backend backend({.service = "tvtest", .init_script = ""});
    auto child = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tvinitd"), "30"});
    svc_.pid_file = pid_file_for(child.pid());
    struct timespec hour_ago[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, svc_.pid_file.c_str(), hour_ago, 0), 0);
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_TRUE(alive(child.pid()));
    EXPECT_TRUE(FakeService::any_has(svc_.warns, "that pid was reused"));

    // Written again after the process started: it names the service.
    ASSERT_EQ(::utimensat(AT_FDCWD, svc_.pid_file.c_str(), nullptr, 0), 0);
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_FALSE(alive(child.pid()));
}

// A pid file someone else could have written, a daemon killed with -9 whose
// pid another process took: the process must show that it is the service's.
TEST_F(InitdTest, ThePidFilesProcessMustBeTheServicesByProgramOrOwner) {
    Backend backend({.service = "tvtest", .init_script = ""});
    auto child = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tvinitd"), "30"});
    // Neither the service's account nor its program, whatever the file.
    svc_.owner = ::geteuid() == 0 ? "nobody" : "root";
    svc_.pid_file = pid_file_for(child.pid());
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_TRUE(alive(child.pid()));
    EXPECT_TRUE(
        FakeService::any_has(svc_.warns, "neither the service's program nor its account's"));

    // Writable by its group or by others: an owner of root proves nothing,
    // since whoever may write the file could name any of root's processes.
    for (mode_t mode : {0664, 0646}) {
        svc_.owner = std::to_string(::geteuid());
        svc_.pid_file = pid_file_for(child.pid(), mode);
        if (::geteuid() == 0) {
            svc_.warns.clear();
            EXPECT_TRUE(backend.stop(svc_));
            EXPECT_TRUE(alive(child.pid())) << std::oct << mode;
            EXPECT_TRUE(FakeService::any_has(svc_.warns, "others may write the file"));
        }
    }
    // Its program confirms it.
    svc_.exe_pattern = "/sleep$";
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_FALSE(alive(child.pid()));
}

// The pid file is never read through a symbolic link, and what it holds is
// never written raw into the log or onto the terminal.
TEST_F(InitdTest, APidFileLinkIsNotFollowedAndItsTextIsNotQuotedRaw) {
    Backend backend({.service = "tvtest", .init_script = ""});
    auto child = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tvinitd"), "30"});
    const std::string real = tmp_.write("secret", std::to_string(child.pid()) + "\n");
    svc_.pid_file = tmp_ / "run/link.pid";
    std::filesystem::create_directories(tmp_ / "run");
    ASSERT_EQ(::symlink(real.c_str(), svc_.pid_file.c_str()), 0);
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_TRUE(alive(child.pid()));
    EXPECT_TRUE(FakeService::any_has(svc_.warns, "symbolic link"));

    svc_.warns.clear();
    svc_.pid_file = tmp_.write("run/tvtest.pid", "\x1b]0;owned\x07\x1b[2J\n");
    EXPECT_TRUE(backend.stop(svc_));
    ASSERT_EQ(svc_.warns.size(), 1u);
    EXPECT_EQ(svc_.warns.front().find('\x1b'), std::string::npos) << svc_.warns.front();
    EXPECT_NE(svc_.warns.front().find("\\x1b]0;owned\\x07"), std::string::npos);
    child.stop();
}

TEST_F(InitdTest, ThePidFileBelongingToAnotherUserIsUntrusted) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give the pid file away";
    Backend backend({.service = "tvtest", .init_script = ""});
    auto child = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tvinitd"), "30"});
    svc_.pid_file = pid_file_for(child.pid());
    ASSERT_EQ(::chown(svc_.pid_file.c_str(), 65534, 65534), 0);
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_TRUE(alive(child.pid()));
    // The executable confirms it.
    svc_.exe_pattern = "/sleep$";
    EXPECT_TRUE(backend.stop(svc_));
    EXPECT_FALSE(alive(child.pid()));
}

TEST_F(InitdTest, TheInitScriptIsLookedUpOnceWhenNotGiven) {
    struct Counting : Backend {
        using Backend::Backend;
        int calls = 0;
        std::string found;
        std::string _build_init_script() override {
            ++calls;
            return found;
        }
    };
    Counting backend({.service = "tvtest"});
    backend.found = init_script();
    EXPECT_EQ(backend.init_script(), backend.found);
    EXPECT_TRUE(backend.start(svc_));
    EXPECT_EQ(backend.calls, 1);
    backend.set_init_script("");
    EXPECT_EQ(backend.init_script(), "");
}

}  // namespace
