#include "Tavrel/Service/Lock.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Validate/Service.h"
#include "testsupport/FakeProc.h"
#include "testsupport/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using Tavrel::Service::Lock;
using Clock = std::chrono::steady_clock;

class LockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_base_ = Lock::LOCK_BASE;
        saved_timeout_ = Lock::LOCK_TIMEOUT;
        saved_poll_ = Lock::POLL_INTERVAL;
        Lock::LOCK_BASE = tmp_ / "locks";
        Lock::LOCK_TIMEOUT = 5;
        Lock::POLL_INTERVAL = 0.01;
    }
    void TearDown() override {
        Lock::LOCK_BASE = saved_base_;
        Lock::LOCK_TIMEOUT = saved_timeout_;
        Lock::POLL_INTERVAL = saved_poll_;
    }

    // A child that takes the lock, reports it on a pipe and then holds it for
    // `hold` seconds (or until killed).
    pid_t spawn_holder(const std::string& service, double hold) {
        int p[2];
        EXPECT_EQ(::pipe2(p, O_CLOEXEC), 0);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(p[0]);
            try {
                Lock lock(service);
                (void)!::write(p[1], "L", 1);
                std::this_thread::sleep_for(std::chrono::duration<double>(hold));
            } catch (...) {
                ::_exit(2);
            }
            ::_exit(0);
        }
        ::close(p[1]);
        char c = 0;
        EXPECT_EQ(::read(p[0], &c, 1), 1);
        ::close(p[0]);
        return pid;
    }

    static int wait_exit(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    }

    Tavrel::TestSupport::TempDir tmp_;
    std::string saved_base_;
    double saved_timeout_ = 0, saved_poll_ = 0;
};

TEST_F(LockTest, InvalidNamesAreRefusedBeforeAnyFileIsTouched) {
    for (const char* bad : {"../etc", "a/b", ".hidden", "..", "x y", "-rf", "a..b", "tab\tx"}) {
        try {
            Lock lock(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const Tavrel::Foundation::Exception& e) {
            EXPECT_TRUE(e.isa("Param::Invalid")) << e.class_name();
            EXPECT_NE(e.to_string().find(bad), std::string::npos) << e.to_string();
        }
    }
    EXPECT_THROW(Lock(""), Tavrel::Foundation::PlainError);
    EXPECT_FALSE(std::filesystem::exists(Lock::LOCK_BASE));
    EXPECT_FALSE(std::filesystem::exists(tmp_ / "etc"));
}

TEST_F(LockTest, LockFileIsNamedAfterTheServiceAndLeftInPlace) {
    EXPECT_EQ(Lock::get_run_lock_file_for_service("exim-altport"),
              Lock::LOCK_BASE + "/exim-altport");
    {
        Lock lock("httpd");
        EXPECT_TRUE(lock.held());
        struct stat st;
        ASSERT_EQ(::stat(lock.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_TRUE(lock.release());
        EXPECT_FALSE(lock.held());
    }
    // The file of an earlier run blocks nobody.
    EXPECT_TRUE(std::filesystem::exists(Lock::LOCK_BASE + "/httpd"));
    Lock again("httpd");
    EXPECT_TRUE(again.held());
}

TEST_F(LockTest, DaemonLockFilesCannotMeetAWordsAndStayShort) {
    EXPECT_EQ(Lock::get_run_lock_file_for_daemon("unit dovecot.service"),
              Lock::LOCK_BASE + "/daemon:unit%20dovecot.service");
    EXPECT_EQ(Lock::get_run_lock_file_for_daemon("script /etc/init.d/proftpd"),
              Lock::LOCK_BASE + "/daemon:script%20%2Fetc%2Finit.d%2Fproftpd");
    // ':' is no character of a word, so no word's lock is a daemon's.
    EXPECT_FALSE(Tavrel::Foundation::Validate::Service::is_valid("daemon:unit%20dovecot.service"));
    const std::string deep = "program /" + std::string(300, 'p') + " /run/x.pid";
    const std::string file = Lock::get_run_lock_file_for_daemon(deep);
    const std::string name = file.substr(Lock::LOCK_BASE.size() + 1);
    EXPECT_LE(name.size(), 200u);
    // Identities that share their first 200 bytes still get their own files.
    EXPECT_NE(file, Lock::get_run_lock_file_for_daemon(deep + "2"));
    EXPECT_EQ(file, Lock::get_run_lock_file_for_daemon(deep));
    EXPECT_THROW(Lock::for_daemon(""), Tavrel::Foundation::PlainError);
}

TEST_F(LockTest, ADaemonsLockIsOneForEveryWordAndNamesItsHolder) {
    const std::string daemon = "script /etc/init.d/dovecot";
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    pid_t holder = ::fork();
    if (holder == 0) {
        ::close(p[0]);
        try {
            Lock word("imap");
            Lock held = Lock::for_daemon(daemon);
            (void)!::write(p[1], "L", 1);
            std::this_thread::sleep_for(std::chrono::seconds(30));
        } catch (...) {
            ::_exit(2);
        }
        ::_exit(0);
    }
    ::close(p[1]);
    char c = 0;
    ASSERT_EQ(::read(p[0], &c, 1), 1);
    ::close(p[0]);
    // Another word of the same daemon: its own lock is free, the daemon's not.
    Lock word("pop");
    EXPECT_TRUE(word.held());
    Lock::LOCK_TIMEOUT = 0.2;
    try {
        Lock taken = Lock::for_daemon(daemon);
        ADD_FAILURE() << "took a held daemon lock";
    } catch (const Tavrel::Foundation::PlainError& e) {
        EXPECT_NE(std::string(e.what()).find("still working on this daemon (process " +
                                             std::to_string(holder) + ": "),
                  std::string::npos)
            << e.what();
    }
    // Another daemon is not held up.
    EXPECT_TRUE(Lock::for_daemon("script /etc/init.d/exim4").held());
    ::kill(holder, SIGKILL);
    wait_exit(holder);
    EXPECT_TRUE(Lock::for_daemon(daemon).held());
}

TEST_F(LockTest, ConcurrentRunsOnOneServiceNeverOverlap) {
    const std::string log = tmp_ / "critical.log";
    const int runs = 8, rounds = 6;
    std::vector<pid_t> children;
    for (int i = 0; i < runs; ++i) {
        pid_t pid = ::fork();
        if (pid == 0) {
            try {
                for (int r = 0; r < rounds; ++r) {
                    Lock lock("mysql");
                    int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
                    std::string me = std::to_string(::getpid());
                    (void)!::write(fd, ("B " + me + "\n").data(), me.size() + 3);
                    std::this_thread::sleep_for(std::chrono::milliseconds(3));
                    (void)!::write(fd, ("E " + me + "\n").data(), me.size() + 3);
                    ::close(fd);
                }
            } catch (...) {
                ::_exit(3);
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = wait_exit(pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::istringstream in(Tavrel::TestSupport::TempDir::read(log));
    std::string tag, pid, end_tag, end_pid;
    int sections = 0;
    while (in >> tag >> pid) {
        ASSERT_EQ(tag, "B");
        ASSERT_TRUE(in >> end_tag >> end_pid);
        // Each section ends before any other begins: B and E of one run are adjacent.
        ASSERT_EQ(end_tag, "E");
        ASSERT_EQ(end_pid, pid);
        ++sections;
    }
    EXPECT_EQ(sections, runs * rounds);
}

TEST_F(LockTest, SecondRunWaitsAndProceedsWhenTheFirstReleases) {
    pid_t holder = spawn_holder("named", 0.4);
    auto start = Clock::now();
    Lock lock("named");
    double waited = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(waited, 0.25);
    EXPECT_LT(waited, 3.0);
    EXPECT_EQ(wait_exit(holder), 0);
}

TEST_F(LockTest, TimesOutWhileAnotherRunHoldsTheLock) {
    pid_t holder = spawn_holder("named", 30);
    Lock::LOCK_TIMEOUT = 0.3;
    auto start = Clock::now();
    try {
        Lock lock("named");
        ADD_FAILURE() << "took a held lock";
    } catch (const Tavrel::Foundation::PlainError& e) {
        EXPECT_NE(std::string(e.what()).find("another run"), std::string::npos) << e.what();
        // The run to look at: the holder, named by the kernel's lock table.
        EXPECT_NE(std::string(e.what()).find("(process " + std::to_string(holder) + ": "),
                  std::string::npos)
            << e.what();
    }
    double waited = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(waited, 0.3);
    EXPECT_LT(waited, 2.0);
    // Runs on other services are not held up meanwhile.
    Lock other("exim");
    EXPECT_TRUE(other.held());
    ::kill(holder, SIGKILL);
    wait_exit(holder);
}

TEST_F(LockTest, TheHolderIsTheFlockOfThatVeryFile) {
    {
        Tavrel::TestSupport::FakeProc proc;
        proc.write("locks", "garbage\n"
                            "1: POSIX  ADVISORY  WRITE 55 fd:1a:99 0 EOF\n"
                            "2: -> FLOCK  ADVISORY  WRITE 66 fd:1a:99 0 EOF\n"
                            "3: FLOCK  ADVISORY  WRITE 77 fd:1a:98 0 EOF\n"
                            "4: FLOCK  ADVISORY  WRITE 88 fd:1a:99 0 EOF\n");
        EXPECT_EQ(Lock::holder_of(makedev(0xfd, 0x1a), 99), 88);
        EXPECT_EQ(Lock::holder_of(makedev(0xfd, 0x1b), 99), std::nullopt);
    }
    {
        Tavrel::TestSupport::FakeProc no_table;
        EXPECT_EQ(Lock::holder_of(makedev(0xfd, 0x1a), 99), std::nullopt);
    }
}

TEST_F(LockTest, HolderKilledWithSigkillLeavesTheServiceUnlocked) {
    pid_t holder = spawn_holder("httpd", 60);
    Lock::LOCK_TIMEOUT = 0.1;
    EXPECT_THROW(Lock("httpd"), Tavrel::Foundation::PlainError);
    ASSERT_EQ(::kill(holder, SIGKILL), 0);
    int status = wait_exit(holder);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    Lock::LOCK_TIMEOUT = 1;
    auto start = Clock::now();
    Lock lock("httpd");
    EXPECT_TRUE(lock.held());
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.5);
}

TEST_F(LockTest, ChildThatInheritedTheLockCannotDropIt) {
    Lock lock("crond");
    pid_t child = ::fork();
    if (child == 0) {
        lock.release();  // closes the child's copy only
        ::_exit(0);
    }
    ASSERT_EQ(wait_exit(child), 0);
    // Another process still finds the lock held.
    pid_t probe = ::fork();
    if (probe == 0) {
        Lock::LOCK_TIMEOUT = 0.05;
        try {
            Lock taken("crond");
            ::_exit(1);
        } catch (const Tavrel::Foundation::PlainError&) {
            ::_exit(0);
        }
    }
    int status = wait_exit(probe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child dropped the lock";
}

// Another account that shares a world-writable directory with root, as the
// system's lock directory is shared. Runs `attack` as nobody in a child.
class HostileLockDirTest : public LockTest {
  protected:
    void SetUp() override {
        LockTest::SetUp();
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to act as another account";
        ::chmod(tmp_.path().c_str(), 0711);
        shared_ = tmp_ / "run-lock";
        ASSERT_EQ(::mkdir(shared_.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(shared_.c_str(), 01777), 0);
        Lock::LOCK_BASE = shared_ + "/zidavoveva";
        victim_ = tmp_ / "role.disabled";
    }

    static int as_nobody(const std::function<int()>& attack) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::umask(0);
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(90);
            ::_exit(attack());
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // The lock is refused with Io::UnsafeDirectory giving `reason`, and the
    // file the attacker aimed at was neither created nor written.
    void expect_refused(const std::string& reason) {
        try {
            Lock lock("httpd");
            ADD_FAILURE() << "locked in a directory that is not root's own";
        } catch (const Tavrel::Foundation::Exception& e) {
            EXPECT_TRUE(e.isa("Io::UnsafeDirectory")) << e.class_name() << ": " << e.to_string();
            EXPECT_EQ(e.get_text("reason"), reason);
            EXPECT_NE(e.to_string().find(Lock::LOCK_BASE), std::string::npos) << e.to_string();
        }
        EXPECT_FALSE(std::filesystem::exists(victim_)) << "root wrote to the planted target";
    }

    std::string shared_, victim_;
};

TEST_F(HostileLockDirTest, DirectoryMadeFirstByAnotherAccountIsRefused) {
    // Made before root's first run after a boot, with a link in place of a lock file.
    ASSERT_EQ(as_nobody([&] {
                  if (::mkdir(Lock::LOCK_BASE.c_str(), 0777) != 0)
                      return 1;
                  return ::symlink(victim_.c_str(), (Lock::LOCK_BASE + "/httpd").c_str()) == 0 ? 0
                                                                                               : 2;
              }),
              0);
    expect_refused("owner");
    // The same directory, given to root but left open to everyone.
    ASSERT_EQ(::chown(Lock::LOCK_BASE.c_str(), 0, 0), 0);
    expect_refused("writable");
}

TEST_F(HostileLockDirTest, LinkInPlaceOfTheDirectoryIsRefused) {
    // A link to a directory root owns: the check is of the link, not of where it points.
    const std::string elsewhere = tmp_ / "elsewhere";
    ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(as_nobody([&] { return ::symlink(elsewhere.c_str(), Lock::LOCK_BASE.c_str()); }), 0);
    expect_refused("symlink");
    EXPECT_FALSE(std::filesystem::exists(elsewhere + "/httpd"));
}

TEST_F(LockTest, LockFilesAreNeverOpenedThroughALink) {
    // The directory is made by root and checked; whatever is in it, a link is
    // never followed (the target stays untouched).
    { Lock first("exim"); }
    const std::string target = tmp_ / "target";
    ASSERT_EQ(::symlink(target.c_str(), (Lock::LOCK_BASE + "/named").c_str()), 0);
    try {
        Lock lock("named");
        ADD_FAILURE() << "locked through a link";
    } catch (const Tavrel::Foundation::PlainError& e) {
        EXPECT_NE(std::string(e.what()).find("symbolic link"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(std::filesystem::exists(target));
    // A FIFO in place of a lock file is refused at once rather than hanging the run.
    ASSERT_EQ(::mkfifo((Lock::LOCK_BASE + "/crond").c_str(), 0600), 0);
    EXPECT_THROW(Lock("crond"), Tavrel::Foundation::PlainError);
}

TEST_F(LockTest, DirectoryIsMadeWithItsParentsAndPrivate) {
    Lock::LOCK_BASE = tmp_ / "run/zidavoveva/lock";
    ::umask(0);
    Lock lock("httpd");
    ::umask(022);
    for (const std::string& dir : {tmp_ / "run", tmp_ / "run/zidavoveva", Lock::LOCK_BASE}) {
        struct stat st {};
        ASSERT_EQ(::lstat(dir.c_str(), &st), 0) << dir;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << dir;
        EXPECT_EQ(st.st_uid, ::geteuid()) << dir;
    }
}

}  // namespace
