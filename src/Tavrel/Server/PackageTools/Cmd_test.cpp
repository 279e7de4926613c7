#include "Tavrel/Server/PackageTools/Cmd.h"

#include "Tavrel/Foundation/File/Flock.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Foundation/PlainError.h"
#include "testsupport/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <atomic>
#include <cstdlib>
#include <thread>


namespace {

// A wrapper around any program, with a lock of its own in a temporary directory.
class TestTool : public Tavrel::Server::PackageTools::Cmd {
  public:
    TestTool(std::string program, std::string lock_file = {},
             std::vector<std::string> wait_for = {}, std::optional<double> lock_timeout = 0.4)
        : Cmd({.bin = std::nullopt, .lock_timeout = lock_timeout}),
          program_(std::move(program)),
          lock_file_(std::move(lock_file)),
          wait_for_(std::move(wait_for)) {}

  protected:
    std::string bin_path() const override { return program_; }
    std::optional<std::string> lock_to_hold() const override {
        return lock_file_.empty() ? std::nullopt : std::optional<std::string>(lock_file_);
    }
    std::vector<std::string> locks_to_wait_for() const override { return wait_for_; }
    bool needs_lock(const std::vector<std::string>& args) const override {
        return !args.empty() && args[0] == "locked";
    }

  private:
    std::string program_, lock_file_;
    std::vector<std::string> wait_for_;
};

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A child process that holds an exclusive lock on `path` until told to go.
struct LockHolder {
    pid_t pid = -1;
    int go_fd = -1;
    explicit LockHolder(const std::string& path, bool take_flock = true) {
        int ready[2], go[2];
        if (pipe(ready) != 0 || pipe(go) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            close(go[1]);
            close(ready[0]);
            int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
            if (take_flock)
                flock(fd, LOCK_EX);
            (void)!write(ready[1], "r", 1);
            char c;
            (void)!read(go[0], &c, 1);
            _exit(0);
        }
        close(ready[1]);
        close(go[0]);
        char c;
        (void)!read(ready[0], &c, 1);
        close(ready[0]);
        go_fd = go[1];
    }
    void release() {
        if (go_fd < 0)
            return;
        close(go_fd);
        go_fd = -1;
        waitpid(pid, nullptr, 0);
    }
    ~LockHolder() { release(); }
};

}  // namespace

TEST(BinariesCmd, LockTimeoutComesFromTheInstallStateUnlessGiven) {
    unsetenv("TAVREL_BASE_INSTALL");
    EXPECT_EQ(TestTool("/bin/true", {}, {}, std::nullopt).lock_timeout(), 5400);
    setenv("TAVREL_BASE_INSTALL", "1", 1);
    EXPECT_EQ(TestTool("/bin/true", {}, {}, std::nullopt).lock_timeout(), 10800);
    EXPECT_EQ(TestTool("/bin/true", {}, {}, 12).lock_timeout(), 12);
    unsetenv("TAVREL_BASE_INSTALL");
    for (int i = 0; i < 200; ++i) {
        int ms = Tavrel::Server::PackageTools::Cmd::random_sleep_ms();
        ASSERT_GE(ms, 100);
        ASSERT_LT(ms, 150);
    }
}

TEST(BinariesCmd, RunsWithTheToolEnvironmentAndReportsStatus) {
    TestTool env("/usr/bin/env");
    auto result = env.cmd({});
    EXPECT_EQ(result.status, 0);
    for (const char* want :
         {"LANG=C\n", "LC_ALL=C\n", "LANGUAGE=C\n", "LC_CTYPE=C\n", "LC_MESSAGES=C\n",
          "PYTHONIOENCODING=utf-8\n", "DEBIAN_FRONTEND=noninteractive\n"}) {
        EXPECT_NE(result.output.find(want), std::string::npos) << want;
    }
    // Both streams end up in the output; the wait status is kept.
    TestTool ls("/bin/ls");
    auto failed = ls.cmd({"/nonexistent-path-for-test"});
    EXPECT_EQ(WEXITSTATUS(failed.status), 2);
    EXPECT_NE(failed.output.find("nonexistent-path-for-test"), std::string::npos);
    EXPECT_THROW(TestTool("/nonexistent/tool").cmd({}), Tavrel::Foundation::PlainError);
    Tavrel::TestSupport::TempDir dir;
    std::string plain = dir.write("not-a-program", "data");
    chmod(plain.c_str(), 0644);
    EXPECT_THROW(TestTool(plain).bin(), Tavrel::Foundation::PlainError);  // not executable
}

// A long package operation is logged as it goes, line by line, not when it
// ends: the tool here waits (up to 2 s) for the test to have seen its first
// line in the log, and says whether it was.
TEST(BinariesCmd, OutputIsLoggedLineByLineWhileTheToolRuns) {
    Tavrel::TestSupport::TempDir dir;
    const std::string log_path = dir / "tool_log";
    const std::string seen_flag = dir / "seen";
    auto logger =
        Tavrel::Foundation::Logger::create({.alternate_logfile = log_path, .no_load_from_cache = true});
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done) {
            if (Tavrel::TestSupport::TempDir::read(log_path).find("first line") !=
                std::string::npos) {
                dir.write("seen", "");
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const std::string script =
        "echo 'first line'; i=0; "
        "while [ ! -e \"$1\" ] && [ $i -lt 40 ]; do sleep 0.05; i=$((i+1)); done; "
        "if [ -e \"$1\" ]; then echo 'seen while running' >&2; else echo 'not seen'; fi; "
        "printf 'no newline'";
    auto result = TestTool("/bin/sh").cmd_with_logger(logger, {"-c", script, "sh", seen_flag});
    done = true;
    watcher.join();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "first line\nseen while running\nno newline");
    const std::string log = Tavrel::TestSupport::TempDir::read(log_path);
    EXPECT_NE(log.find("] first line\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] seen while running\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] no newline\n"), std::string::npos) << log;
}

TEST(BinariesCmd, HoldLockWaitsForARealHolderThenTimesOut) {
    Tavrel::TestSupport::TempDir dir;
    std::string lock = dir / "locks/tool.lock";
    mode_t old_mask = umask(0277);  // the umask must not change the directory mode
    { TestTool("/bin/true", lock).cmd({"locked"}); }
    umask(old_mask);
    struct stat st {};
    ASSERT_EQ(stat((dir / "locks").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    LockHolder holder(lock);
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(TestTool("/bin/true", lock).cmd({"locked"}), Tavrel::Foundation::PlainError);
    EXPECT_GE(seconds(start), 0.4);
    EXPECT_LT(seconds(start), 1.5);
    EXPECT_EQ(TestTool("/bin/true", lock).cmd({"unlocked"}).status, 0);  // no lock needed
    holder.release();
    EXPECT_EQ(TestTool("/bin/true", lock).cmd({"locked"}).status, 0);
}

TEST(BinariesCmd, WaitsWhileAnotherProcessHasTheToolsLockOpen) {
    Tavrel::TestSupport::TempDir dir;
    std::string own = dir / "own.lock", foreign = dir / "foreign.lock";
    {
        LockHolder holder(foreign, false);  // merely open, as a package tool holds its lock
        EXPECT_THROW(TestTool("/bin/true", own, {foreign}).cmd({"locked"}), Tavrel::Foundation::PlainError);
    }
    EXPECT_EQ(TestTool("/bin/true", own, {foreign}).cmd({"locked"}).status, 0);
    EXPECT_THROW(TestTool("/bin/true", "").cmd({"locked"}), Tavrel::Foundation::PlainError);  // names no lock
}
