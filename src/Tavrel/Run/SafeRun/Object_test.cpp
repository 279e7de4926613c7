#include "Tavrel/Run/SafeRun/Object.h"

#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Run/SafeRun/Child.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

using Tavrel::Run::SafeRun::Fd;
using Tavrel::Run::SafeRun::Object;
using Tavrel::Run::SafeRun::Options;

namespace {

// Pids of our children that are zombies (ended but not reaped).
std::vector<int> zombie_children() {
    std::vector<int> found;
    DIR* dir = ::opendir("/proc");
    if (!dir)
        return found;
    const std::string me = std::to_string(::getpid());
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        std::getline(stat, line);
        auto close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 2));
        std::string state, ppid;
        rest >> state >> ppid;
        if (ppid == me && state == "Z")
            found.push_back(std::atoi(e->d_name));
    }
    ::closedir(dir);
    return found;
}

bool process_gone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Every test ends with no zombie child of ours.
class SafeRunObject : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_TRUE(zombie_children().empty()); }
};

// Runs each case through both start paths: direct spawn and fork with a callback.
class BothPaths : public SafeRunObject, public ::testing::WithParamInterface<bool> {
  protected:
    Options with_path(Options o) {
        if (GetParam())
            o.before_exec = [] {};
        return o;
    }
};

}  // namespace

TEST_P(BothPaths, SuccessFailureAndOutput) {
    Object ok(with_path({.program = "/bin/true"}));
    EXPECT_EQ(ok.CHILD_ERROR(), 0);
    EXPECT_FALSE(ok.error_code());
    EXPECT_FALSE(ok.autopsy());
    EXPECT_EQ(ok.stdout_text(), "");
    EXPECT_FALSE(ok.to_exception());
    EXPECT_GT(ok.child_pid(), 1);

    Object bad(with_path({.program = "/bin/false"}));
    EXPECT_EQ(bad.CHILD_ERROR(), 256);
    EXPECT_EQ(bad.error_code(), 1);
    EXPECT_FALSE(bad.exec_failed());
    auto e = bad.to_exception();
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->isa("Child::ExitedNonZero"));
    EXPECT_EQ(e->get_text("program"), "/bin/false");
    EXPECT_THROW(bad.die_if_error(), Tavrel::Foundation::Exception);
    EXPECT_THROW(Object::new_or_die(with_path({.program = "/bin/false"})), Tavrel::Foundation::Exception);

    Object echo(with_path({.program = "/bin/echo", .args = {"a b", "c"}}));
    EXPECT_EQ(echo.stdout_text(), "a b c\n");
    EXPECT_EQ(echo.command_line(), "/bin/echo a b c");
}

TEST_P(BothPaths, MissingProgramIsAnExecFailure) {
    Object run(with_path({.program = "no-such-program-here", .args = {"x"}}));
    EXPECT_TRUE(run.exec_failed());
    EXPECT_EQ(run.error_code(), 2);
    EXPECT_EQ(run.error_name(), "ENOENT");
    EXPECT_NE(run.stderr_text().find("no-such-program-here"), std::string::npos);
    EXPECT_TRUE(run.to_exception()->isa("Child::ExitedNonZero"));

    Tavrel::TestSupport::TempDir dir;
    const std::string not_executable = dir.write("data", "text\n");
    ::chmod(not_executable.c_str(), 0644);
    Object denied(with_path({.program = not_executable}));
    EXPECT_TRUE(denied.exec_failed());
    EXPECT_EQ(denied.error_name(), "EACCES");  // even root needs an execute bit
}

TEST_P(BothPaths, BothStreamsBeyondPipeCapacityAndInputNobodyReads) {
    // tee copies its input to standard output and standard error at once.
    const std::string input(3 * 1024 * 1024 + 7, 'x');
    Object tee(
        with_path({.program = "/usr/bin/tee", .args = {"/dev/stderr"}, .stdin_from = input}));
    EXPECT_EQ(tee.CHILD_ERROR(), 0);
    EXPECT_EQ(tee.stdout_text(), input);
    EXPECT_EQ(tee.stderr_text(), input);

    // head never reads its input and writes more than a pipe holds.
    Object head(with_path({.program = "/usr/bin/head",
                           .args = {"-c", "1048576", "/dev/zero"},
                           .stdin_from = std::string(16 * 1024 * 1024, 'y')}));
    EXPECT_EQ(head.CHILD_ERROR(), 0);
    EXPECT_EQ(head.stdout_text().size(), 1048576u);
}

TEST_P(BothPaths, OnlyStandardDescriptorsReachTheChild) {
    // A descriptor deliberately left open across exec by someone else.
    const int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 3);
    std::set<std::string> seen;
    pid_t child = -1;
    Options o = with_path({.program = "/bin/cat"});
    o.after_fork = [&](pid_t pid) { child = pid; };
    o.stdin_from = Tavrel::Run::SafeRun::InputWriter([&](int fd) {
        const std::string exe = "/proc/" + std::to_string(child) + "/exe";
        char target[256] = {};
        for (int i = 0; i < 2000; ++i) {
            const ssize_t n = ::readlink(exe.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, n).find("cat") != std::string::npos)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // The exe link changes a moment before exec closes the close-on-exec
        // descriptors, so look again until the set settles; a real leak stays.
        const std::set<std::string> standard{"0", "1", "2"};
        for (int i = 0; i < 1000 && seen != standard; ++i) {
            if (i > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            seen.clear();
            DIR* dir = ::opendir(("/proc/" + std::to_string(child) + "/fd").c_str());
            ASSERT_NE(dir, nullptr);
            while (dirent* e = ::readdir(dir)) {
                if (e->d_name[0] != '.')
                    seen.insert(e->d_name);
            }
            ::closedir(dir);
        }
        ASSERT_EQ(::write(fd, "hi", 2), 2);
    });
    Object run(std::move(o));
    ::close(leaky);
    EXPECT_EQ(run.stdout_text(), "hi");
    EXPECT_EQ(seen, (std::set<std::string>{"0", "1", "2"}));
}

TEST_P(BothPaths, OverallAndIdleTimeLimits) {
    auto start = std::chrono::steady_clock::now();
    Object slow(with_path({.program = "/bin/sleep", .args = {"10"}, .timeout = 0.3}));
    EXPECT_LT(seconds_since(start), 2.0);
    EXPECT_EQ(slow.timed_out(), 0.3);
    EXPECT_TRUE(process_gone(slow.child_pid()));
    EXPECT_EQ(slow.signal_code(), SIGTERM);
    auto e = slow.to_exception();
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->isa("Child::TimedOut"));
    EXPECT_EQ(e->get("timeout")->get<double>(), 0.3);
    EXPECT_NE(slow.autopsy()->find("0.3"), std::string::npos);

    Object idle(
        with_path({.program = "/bin/sleep", .args = {"10"}, .timeout = 5, .read_timeout = 0.3}));
    EXPECT_EQ(idle.timed_out(), 0.3);
    EXPECT_TRUE(process_gone(idle.child_pid()));

    // No pipes at all (outputs to the caller's descriptor): the limit still holds.
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    start = std::chrono::steady_clock::now();
    Object quiet(with_path({.program = "/bin/sleep",
                            .args = {"10"},
                            .stdout_to = Fd{null},
                            .stderr_to = Fd{null},
                            .timeout = 0.3}));
    ::close(null);
    EXPECT_LT(seconds_since(start), 2.0);
    EXPECT_EQ(quiet.timed_out(), 0.3);
    EXPECT_THROW(quiet.stdout_text(), Tavrel::Foundation::PlainError);

    // A child that does not read its input and never ends.
    Object stuck(with_path({.program = "/bin/sleep",
                            .args = {"10"},
                            .stdin_from = std::string(8 * 1024 * 1024, 'z'),
                            .timeout = 0.3}));
    EXPECT_EQ(stuck.timed_out(), 0.3);
}

TEST_F(SafeRunObject, ChildIgnoringTermIsKilled) {
    const double saved = Tavrel::Run::SafeRun::SAFEKILL_TIMEOUT;
    Tavrel::Run::SafeRun::SAFEKILL_TIMEOUT = 0.2;
    const auto start = std::chrono::steady_clock::now();
    Object run({.program = "/bin/sleep", .args = {"10"}, .timeout = 0.2, .before_exec = [] {
                    ::signal(SIGTERM, SIG_IGN);
                }});
    Tavrel::Run::SafeRun::SAFEKILL_TIMEOUT = saved;
    EXPECT_LT(seconds_since(start), 2.0);
    EXPECT_EQ(run.signal_code(), SIGKILL);
    EXPECT_EQ(run.signal_name(), "SIGKILL");
    EXPECT_EQ(run.error_code(), 0);
    EXPECT_TRUE(process_gone(run.child_pid()));
}

TEST_P(BothPaths, ChildKilledBySignal) {
    Object run(with_path({.program = "/usr/bin/perl", .args = {"-e", "kill 'USR1', $$; sleep 5"}}));
    EXPECT_EQ(run.signal_code(), SIGUSR1);
    EXPECT_EQ(run.error_code(), 0);
    auto e = run.to_exception();
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->isa("Child::Signalled"));
    EXPECT_NE(run.autopsy()->find("SIGUSR1"), std::string::npos);
}

TEST_P(BothPaths, InputSourcesAndOutputTargets) {
    Object text(with_path({.program = "/bin/cat", .stdin_from = std::string("line\n")}));
    EXPECT_EQ(text.stdout_text(), "line\n");

    std::istringstream in(std::string(300000, 'q'));
    Object stream(with_path({.program = "/bin/cat", .stdin_from = &in}));
    EXPECT_EQ(stream.stdout_text(), std::string(300000, 'q'));

    Tavrel::TestSupport::TempDir dir;
    const std::string path = dir.write("in", "from a file");
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    Object file(with_path({.program = "/bin/cat", .stdin_from = Fd{fd}}));
    ::close(fd);
    EXPECT_EQ(file.stdout_text(), "from a file");

    std::ostringstream both;
    Object merged(with_path({.program = "/usr/bin/tee",
                             .args = {"/dev/stderr"},
                             .stdin_from = std::string("ab"),
                             .stdout_to = &both,
                             .stderr_to = &both}));
    EXPECT_EQ(both.str(), "abab");
    EXPECT_THROW(merged.stdout_text(), Tavrel::Foundation::PlainError);
    EXPECT_THROW(merged.stderr_text(), Tavrel::Foundation::PlainError);

    const std::string out_path = dir / "out";
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    Object to_file(with_path({.program = "/bin/echo", .args = {"kept"}, .stdout_to = Fd{out}}));
    ::close(out);
    EXPECT_EQ(Tavrel::TestSupport::TempDir::read(out_path), "kept\n");
    EXPECT_EQ(to_file.stderr_text(), "");
}

TEST_P(BothPaths, CleanedEnvironment) {
    ::setenv("TAVREL_TEST_SECRET", "1", 1);
    ::setenv("LANG", "C.UTF-8", 1);
    ::unsetenv("TMP");
    Object clean(with_path({.program = "/usr/bin/env", .user = "someone", .homedir = "/h"}));
    const std::string env = clean.stdout_text();
    EXPECT_EQ(env.find("TAVREL_TEST_SECRET"), std::string::npos);
    EXPECT_NE(env.find("LANG=C.UTF-8\n"), std::string::npos);
    EXPECT_NE(env.find("HOME=/h\n"), std::string::npos);
    EXPECT_NE(env.find("USER=someone\n"), std::string::npos);
    EXPECT_NE(env.find("TMP=/h/tmp\n"), std::string::npos);
    EXPECT_NE(env.find("TEMP=/h/tmp\n"), std::string::npos);

    Object kept(with_path({.program = "/usr/bin/env", .keep_env = true}));
    EXPECT_NE(kept.stdout_text().find("TAVREL_TEST_SECRET=1\n"), std::string::npos);

    // Variables for one child replace the parent's and never reach the parent.
    for (bool keep : {false, true}) {
        Object set(with_path({.program = "/usr/bin/env",
                              .keep_env = keep,
                              .set_env = {"LANG=C", "TAVREL_TEST_ONLY_CHILD=x"}}));
        const std::string seen = "\n" + set.stdout_text();
        EXPECT_NE(seen.find("\nLANG=C\n"), std::string::npos) << seen;
        EXPECT_EQ(seen.find("LANG=C.UTF-8"), std::string::npos);
        EXPECT_NE(seen.find("TAVREL_TEST_ONLY_CHILD=x\n"), std::string::npos);
        EXPECT_EQ(seen.find("TAVREL_TEST_SECRET") != std::string::npos, keep);
    }
    EXPECT_STREQ(::getenv("LANG"), "C.UTF-8");
    EXPECT_EQ(::getenv("TAVREL_TEST_ONLY_CHILD"), nullptr);
    EXPECT_THROW(Object({.program = "/usr/bin/env", .set_env = {"NOEQUALS"}}), Tavrel::Foundation::PlainError);
    ::unsetenv("TAVREL_TEST_SECRET");
}

TEST_F(SafeRunObject, BeforeExecRunsInTheChild) {
    Object run({.program = "/usr/bin/env", .before_exec = [] { ::setenv("ZIDAVOVEVA", "7", 1); }});
    EXPECT_NE(run.stdout_text().find("ZIDAVOVEVA=7\n"), std::string::npos);
    EXPECT_EQ(::getenv("ZIDAVOVEVA"), nullptr);

    Object thrown({.program = "/bin/true", .before_exec = [] {
                       errno = 0;
                       throw std::runtime_error("no way");
                   }});
    EXPECT_EQ(thrown.error_code(), 127);
    EXPECT_FALSE(thrown.exec_failed());
    EXPECT_NE(thrown.stderr_text().find("no way"), std::string::npos);
}

TEST_F(SafeRunObject, SignalHandlingRestoredAndResetInChild) {
    // A parent that ignores SIGCHLD would lose its children's statuses.
    ::signal(SIGCHLD, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    Object run({.program = "/bin/false"});
    EXPECT_EQ(run.CHILD_ERROR(), 256);
    struct sigaction now {};
    ::sigaction(SIGCHLD, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    ::signal(SIGCHLD, SIG_DFL);

    // The child starts with default dispositions and an empty mask.
    sigset_t block, saved;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    ::sigprocmask(SIG_BLOCK, &block, &saved);
    Object status({.program = "/bin/cat", .args = {"/proc/self/status"}});
    ::sigprocmask(SIG_SETMASK, &saved, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    const std::string& text = status.stdout_text();
    EXPECT_NE(text.find("SigBlk:\t0000000000000000"), std::string::npos);
    // Bits 31 and 32 (signals 32, 33) belong to the C library itself.
    const auto at = text.find("SigIgn:\t");
    ASSERT_NE(at, std::string::npos);
    const unsigned long long ignored = std::stoull(text.substr(at + 8, 16), nullptr, 16);
    EXPECT_EQ(ignored & ~0x180000000ULL, 0u);
}

TEST_F(SafeRunObject, RefusesBadOptionsBeforeRunning) {
    EXPECT_THROW(Object({.program = ""}), Tavrel::Foundation::PlainError);
    EXPECT_THROW(Object({.program = "/bin/echo", .args = {std::string("a\0b", 3)}}),
                 Tavrel::Foundation::PlainError);
    try {
        Object({.program = "/no/such/dir/program"});
        FAIL() << "no exception";
    } catch (const Tavrel::Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("Param::Invalid"));
        EXPECT_NE(e.to_string().find("/no/such/dir/program"), std::string::npos);
    }
}

TEST_F(SafeRunObject, FailureCarriesCapturedOutput) {
    Object run(
        {.program = "/usr/bin/perl", .args = {"-e", "print 'out'; print STDERR 'err'; exit 3"}});
    auto e = run.to_exception();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->get_text("stdout"), "out");
    EXPECT_EQ(e->get_text("stderr"), "err");
    EXPECT_EQ(e->get("exit_code")->get<int>(), 3);
    EXPECT_NE(run.autopsy()->find(std::to_string(run.child_pid())), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(SpawnAndFork, BothPaths, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Fork" : "Spawn"; });

// The runner is shared by every caller: a run that went well leaves the
// caller's errno as it found it, whatever the pipe reads met on the way.
TEST_P(BothPaths, CallerErrnoSurvivesASuccessfulRun) {
    errno = EDOM;
    Object run(with_path({.program = "/bin/sh", .args = {"-c", "echo out; sleep 0.05; echo more"}}));
    EXPECT_EQ(errno, EDOM);
    EXPECT_EQ(run.stdout_text(), "out\nmore\n");
}

// A child reaped behind the runner's back has lost its status: a failing
// program must not read as a success.
TEST_P(BothPaths, StatusReapedElsewhereIsNotASuccess) {
    Object run(with_path({.program = "/bin/false", .after_fork = [](pid_t pid) {
                              int status = 0;
                              ::waitpid(pid, &status, 0);
                          }}));
    EXPECT_NE(run.CHILD_ERROR(), 0);
    EXPECT_TRUE(run.status_lost());
    EXPECT_EQ(run.error_code(), -1);
    EXPECT_EQ(run.signal_code(), 0);
    EXPECT_FALSE(run.dumped_core());
    EXPECT_EQ(run.terse_autopsy(), "status lost");
    EXPECT_NE(run.autopsy()->find("was lost"), std::string::npos);
    auto e = run.to_exception();
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->isa("Child::ExitedNonZero"));

    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    Tavrel::Run::SafeRun::Child child(pid);
    errno = EDOM;
    EXPECT_EQ(child.wait(-1), Tavrel::Run::SafeRun::LOST_STATUS);
    EXPECT_EQ(errno, EDOM);
}
