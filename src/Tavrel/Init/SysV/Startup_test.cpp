#include "Tavrel/Init/SysV/Startup.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Process/Kill/Target.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Run/SafeRun/LastStatus.h"
#include "Tavrel/Init/Log.h"
#include "Tavrel/Init/SysV/StartupLog.h"
#include "testsupport/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

using Tavrel::Run::SafeRun::last_child_status;
using Tavrel::TestSupport::TempDir;

class StartupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR;
        saved_log_ = Tavrel::Foundation::Logger::STD_LOG_FILE;
        Tavrel::Foundation::Logger::STD_LOG_FILE = tmp_ / "error_log";
        Tavrel::Foundation::Logger::clear_singleton_stash();
        // Missing on purpose: the launcher makes it, parents included.
        Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR = tmp_ / "log/startup";
    }
    void TearDown() override {
        Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR = saved_;
        Tavrel::Foundation::Logger::STD_LOG_FILE = saved_log_;
        Tavrel::Init::Log::forget_run_marks();
        Tavrel::Foundation::Logger::clear_singleton_stash();
    }

    std::string script(const std::string& name, const std::string& body) {
        std::string path = tmp_.write(name, "#!/bin/sh\n" + body);
        ::chmod(path.c_str(), 0755);
        return path;
    }
    std::string log_text(const std::string& service) {
        return TempDir::read(Tavrel::Init::SysV::StartupLog::startup_log_path(service));
    }
    static mode_t mode_of(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st.st_mode & 07777;
    }
    // Waits (up to 2 s) for a process that is not our child to end.
    static bool ended(pid_t pid) {
        auto target = Tavrel::Process::Kill::Target::open(pid);
        for (int i = 0; i < 400 && target.alive(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return !target.alive();
    }

    TempDir tmp_;
    std::string saved_;
    std::string saved_log_;
};

TEST_F(StartupTest, CaptureAndWaitKeepsBothStreamsInOrderAndTheExitCode) {
    const auto cmd = script("init", "echo one; echo two >&2; echo three; echo \"args: $*\" >&2; exit 3\n");
    ::umask(0);
    auto pid = Tavrel::Init::SysV::logged_startup("svc", true, {cmd, "start", "x y"}, {.wait = true});
    ::umask(022);
    ASSERT_TRUE(pid);
    EXPECT_EQ(last_child_status(), 3 << 8);
    EXPECT_EQ(log_text("svc"), "one\ntwo\nthree\nargs: start x y\n");
    // Private whatever the umask.
    EXPECT_EQ(mode_of(Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR), 0700u);
    EXPECT_EQ(mode_of(Tavrel::Init::SysV::StartupLog::startup_log_path("svc")), 0600u);

    // Appending keeps the earlier output; wiping replaces it.
    const auto ok = script("ok", "echo stopped\n");
    ASSERT_TRUE(Tavrel::Init::SysV::logged_startup("svc", false, {ok}, {.wait = true}));
    EXPECT_EQ(last_child_status(), 0);
    EXPECT_EQ(log_text("svc"), "one\ntwo\nthree\nargs: start x y\nstopped\n");
    ASSERT_TRUE(Tavrel::Init::SysV::logged_startup("svc", true, {ok}, {.wait = true}));
    EXPECT_EQ(log_text("svc"), "stopped\n");
}

TEST_F(StartupTest, CaptureAndWaitFailures) {
    // A command killed by a signal never reads as success.
    const auto killed = script("killed", "kill -TERM $$\n");
    ASSERT_TRUE(Tavrel::Init::SysV::logged_startup("svc", true, {killed}, {.wait = true}));
    EXPECT_EQ(last_child_status(), (128 + SIGTERM) << 8);

    // Not an executable file: nothing runs, status 512, the log is wiped all the same.
    Tavrel::Init::SysV::append_to_startup_log("svc", "old output\n");
    errno = EBADF;
    EXPECT_FALSE(Tavrel::Init::SysV::logged_startup("svc", true, {tmp_ / "missing"}, {.wait = true}));
    EXPECT_EQ(errno, EBADF) << "errno is the caller's";
    EXPECT_EQ(last_child_status(), 512);
    EXPECT_EQ(log_text("svc"), "");
    const auto plain = tmp_.write("not-executable", "#!/bin/sh\n");
    EXPECT_FALSE(Tavrel::Init::SysV::logged_startup("svc", true, {plain}, {.wait = true}));
    EXPECT_EQ(last_child_status(), 512);

    // An executable whose interpreter is missing: the reason is in the log,
    // the errno is the exit code.
    const auto broken = tmp_.write("broken", "#!/nonexistent/interpreter\n");
    ::chmod(broken.c_str(), 0755);
    ASSERT_TRUE(Tavrel::Init::SysV::logged_startup("svc", true, {broken}, {.wait = true}));
    EXPECT_EQ(last_child_status(), ENOENT << 8);
    EXPECT_EQ(log_text("svc"), broken + ": could not execute: No such file or directory\n");
}

// An init script whose action never returns: at the bound its whole process
// group gets TERM, KILL a grace period later when it ignores TERM; a daemon
// it started that detached into a session of its own is left running.
TEST_F(StartupTest, ACommandThatOutlivesItsBoundIsEndedWithItsProcessGroup) {
    const double saved_grace = Tavrel::Init::SysV::COMMAND_KILL_GRACE;
    const double saved_gone = Tavrel::Init::SysV::COMMAND_GONE_WAIT;
    Tavrel::Init::SysV::COMMAND_KILL_GRACE = 0.3;
    // An ended script is a zombie until init reaps it, which may be late.
    Tavrel::Init::SysV::COMMAND_GONE_WAIT = 0.1;
    const std::string dir = tmp_.path();
    const auto hangs = script("hangs",
                              "echo $$ >" + dir + "/script\n"
                              "sleep 60 & echo $! >" + dir + "/helper\n"
                              "setsid sleep 60 & echo $! >" + dir + "/detached\n"
                              "trap '' TERM\n"
                              "echo waiting for ever\n"
                              "while :; do sleep 0.05; done\n");
    const auto began = std::chrono::steady_clock::now();
    std::string message;
    try {
        Tavrel::Init::SysV::logged_startup("svc", true, {hangs, "start"}, {.wait = true, .timeout = 0.4});
        ADD_FAILURE() << "no exception";
    } catch (const Tavrel::Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("Services::CommandTimedOut")) << e.class_name();
        message = e.to_string_no_id();
    }
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    Tavrel::Init::SysV::COMMAND_KILL_GRACE = saved_grace;
    Tavrel::Init::SysV::COMMAND_GONE_WAIT = saved_gone;
    // The bound, then the grace period before KILL; no more.
    EXPECT_GE(took, 0.4 + 0.3);
    EXPECT_LT(took, 1.5);
    EXPECT_NE(message.find("“" + hangs + " start”"), std::string::npos) << message;
    EXPECT_NE(message.find("0.4 seconds"), std::string::npos) << message;
    EXPECT_NE(message.find("“svc”"), std::string::npos) << message;
    EXPECT_EQ(log_text("svc"), "waiting for ever\n");

    const auto pid_in = [&](const char* name) { return std::stoi(TempDir::read(tmp_ / name)); };
    EXPECT_TRUE(ended(pid_in("script"))) << "the script ignored TERM and got KILL";
    EXPECT_TRUE(ended(pid_in("helper"))) << "what the script started in its group";
    const pid_t detached = pid_in("detached");
    EXPECT_TRUE(Tavrel::Process::Kill::Target::open(detached).alive()) << "a detached daemon is not the script's";
    ::kill(detached, SIGKILL);

    // A command that ends in time is not touched by the bound.
    const auto quick = script("quick", "sleep 0.1; exit 4\n");
    ASSERT_TRUE(Tavrel::Init::SysV::logged_startup("svc", true, {quick}, {.wait = true, .timeout = 5}));
    EXPECT_EQ(last_child_status(), 4 << 8);
}

TEST_F(StartupTest, LaunchedProgramsInheritOnlyTheStandardStreams) {
    // A descriptor of ours without close-on-exec, like a careless lock.
    int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    const std::vector<std::string> lister{"/bin/sh", "-c",
                                          "ls /proc/$$/fd; read line || echo stdin-at-eof"};
    ASSERT_TRUE(Tavrel::Init::SysV::logged_startup("svc", true, lister, {.wait = true}));
    EXPECT_EQ(log_text("svc"), "0\n1\n2\nstdin-at-eof\n");

    // Detached: the daemon runs on its own and we get its pid.
    pid_t daemon = Tavrel::Init::SysV::logged_startup("daemon", true, lister).value();
    ::close(leaked);
    EXPECT_GT(daemon, 1);
    EXPECT_TRUE(ended(daemon));
    EXPECT_EQ(log_text("daemon"), "0\n1\n2\nstdin-at-eof\n");
}

TEST_F(StartupTest, DetachedLaunchOfAnUnexecutableProgramThrows) {
    const auto plain = tmp_.write("plain", "#!/bin/sh\n");
    try {
        Tavrel::Init::SysV::logged_startup("svc", true, {plain, "start"});
        FAIL() << "no exception";
    } catch (const Tavrel::Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("Io::CommandOpenFailed"));
        EXPECT_EQ(e.get_text("program"), plain);
        EXPECT_EQ(e.error_number(), EACCES);
    }
}

TEST_F(StartupTest, TheLogIsNeverReachedThroughASymbolicLink) {
    const auto victim = tmp_.write("victim", "precious\n");
    ASSERT_TRUE(Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR.size());
    Tavrel::Init::SysV::_mkdir_or_log_failure(Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR);
    ASSERT_EQ(::symlink(victim.c_str(), Tavrel::Init::SysV::StartupLog::startup_log_path("svc").c_str()), 0);
    const auto noisy = script("noisy", "echo overwritten\n");
    // The launch goes on, its output into a stand-in of this run's own.
    ASSERT_TRUE(Tavrel::Init::SysV::logged_startup("svc", true, {noisy}, {.wait = true}));
    EXPECT_EQ(last_child_status(), 0);
    EXPECT_EQ(TempDir::read(victim), "precious\n");
    EXPECT_THROW(Tavrel::Init::SysV::append_to_startup_log("svc", "x"), Tavrel::Foundation::Exception);
    EXPECT_EQ(TempDir::read(victim), "precious\n");
}

TEST_F(StartupTest, AppendFetchAndNames) {
    // An empty message creates nothing.
    EXPECT_TRUE(Tavrel::Init::SysV::append_to_startup_log("svc", ""));
    EXPECT_FALSE(Tavrel::Init::SysV::fetch_startup_log("svc"));
    EXPECT_TRUE(Tavrel::Init::SysV::append_to_startup_log("svc", "a"));
    EXPECT_TRUE(Tavrel::Init::SysV::append_to_startup_log("svc", "b\n"));
    EXPECT_EQ(Tavrel::Init::SysV::fetch_startup_log("svc").value_or("none"), "ab\n");

    // A log left with wider permissions becomes private on the next open.
    const auto path = Tavrel::Init::SysV::StartupLog::startup_log_path("svc");
    ::chmod(path.c_str(), 0644);
    Tavrel::Init::SysV::append_to_startup_log("svc", "c");
    EXPECT_EQ(mode_of(path), 0600u);

    for (const char* bad : {"", "..", "a/b"}) {
        try {
            Tavrel::Init::SysV::append_to_startup_log(bad, "x");
            ADD_FAILURE() << "accepted " << bad;
        } catch (const Tavrel::Foundation::Exception& e) {
            EXPECT_TRUE(e.isa("Name::Invalid")) << e.class_name();
        }
    }

    // Older service words share one log.
    using Tavrel::Init::SysV::StartupLog::get_service_name_from_legacy_name;
    EXPECT_EQ(get_service_name_from_legacy_name("proftpd"), "ftpd");
    EXPECT_EQ(get_service_name_from_legacy_name("exim-altport"), "exim");
    EXPECT_EQ(get_service_name_from_legacy_name("apache"), "httpd");
    EXPECT_EQ(get_service_name_from_legacy_name("pop"), "dovecot");
    EXPECT_EQ(get_service_name_from_legacy_name("imap"), "dovecot");
    EXPECT_EQ(get_service_name_from_legacy_name("crond"), "crond");
    EXPECT_EQ(Tavrel::Init::SysV::StartupLog::startup_log_path("pure-ftpd"),
              Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR + "/ftpd");
}

TEST_F(StartupTest, NoOutputSystemSplitsWordsAndDiscardsOutput) {
    const auto counter = script("count", "echo noise; echo noise >&2; exit $#\n");
    // Split at spaces, runs of spaces give no empty words, trailing empty words dropped.
    EXPECT_GT(Tavrel::Init::SysV::nooutputsystem({counter + " a  b", "c", "", ""}), 0);
    EXPECT_EQ(last_child_status(), 3 << 8);
    Tavrel::Init::SysV::nooutputsystem({tmp_ / "missing"});
    EXPECT_EQ(last_child_status(), 1 << 8);
    // Looked up on the search path.
    Tavrel::Init::SysV::nooutputsystem({"true"});
    EXPECT_EQ(last_child_status(), 0);
    EXPECT_ANY_THROW(Tavrel::Init::SysV::nooutputsystem({"", ""}));
}

TEST_F(StartupTest, AnUncreatableDirectoryOnlyWarns) {
    tmp_.write("file", "x");
    EXPECT_NO_THROW(Tavrel::Init::SysV::_mkdir_or_log_failure(tmp_ / "file/sub"));
    EXPECT_NE(TempDir::read(tmp_ / "error_log")
                  .find("Could not create the directory " + tmp_ / "file/sub" + ": Not a directory"),
              std::string::npos);
    // The launch still happens.
    Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR = tmp_ / "file/sub";
    const auto ok = script("ok", "exit 0\n");
    EXPECT_TRUE(Tavrel::Init::SysV::logged_startup("svc", true, {ok}, {.wait = true}));
    EXPECT_EQ(last_child_status(), 0);
}

// A log directory that cannot be written (read-only, or not a directory):
// what the daemon printed while failing is still what the run shows, under
// a line that says the log could not be written; the launches of one run
// add up as in the log itself, and a wiping one starts it again.
TEST_F(StartupTest, AnUnwritableLogStillShowsWhatThisRunPrinted) {
    tmp_.write("file", "x");
    Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR = tmp_ / "file/startup";
    const auto stop = script("stop", "echo stopping\n");
    const auto failing = script("init", "echo 'zro: error: port 80 is in use'; echo 'zro: giving up' >&2; exit 1\n");
    ASSERT_TRUE(Tavrel::Init::SysV::logged_startup("zro", true, {stop}, {.wait = true}));
    ASSERT_TRUE(Tavrel::Init::SysV::logged_startup("zro", false, {failing}, {.wait = true}));
    EXPECT_EQ(last_child_status(), 1 << 8);
    const std::string note = "[the startup log " + tmp_ / "file/startup/zro" +
                             " could not be written (Not a directory); shown is what the service "
                             "printed in this run]\n";
    EXPECT_EQ(Tavrel::Init::SysV::fetch_startup_log("zro").value_or("none"),
              note + "stopping\nzro: error: port 80 is in use\nzro: giving up\n");
    ASSERT_TRUE(Tavrel::Init::SysV::logged_startup("zro", true, {failing}, {.wait = true}));
    EXPECT_EQ(Tavrel::Init::SysV::fetch_startup_log("zro").value_or("none"),
              note + "zro: error: port 80 is in use\nzro: giving up\n");
    // A daemon left running writes there too.
    const auto daemon = script("daemon", "echo 'zro daemon: listening'; exec sleep 5\n");
    const pid_t pid = Tavrel::Init::SysV::logged_startup("zro", true, {daemon}).value_or(0);
    ASSERT_GT(pid, 0);
    std::string shown;
    for (int i = 0; i < 200 && shown.find("listening") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        shown = Tavrel::Init::SysV::fetch_startup_log("zro").value_or("");
    }
    EXPECT_EQ(shown, note + "zro daemon: listening\n");
    ::kill(pid, SIGKILL);
    EXPECT_NE(TempDir::read(tmp_ / "error_log").find("could not be written"), std::string::npos);
}

}  // namespace
