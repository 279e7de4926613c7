#include "Tavrel/Service/Hot.h"

#include "Tavrel/Foundation/Logger.h"
#include "testsupport/FakeBackend.h"
#include "testsupport/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using namespace Tavrel::Service::TestSupport;
using Tavrel::TestSupport::TempDir;
using json = nlohmann::json;

using HotSvc = Tavrel::Service::TestSupport::Testable<Tavrel::Service::Hot>;

// A daemon stand-in: waits for SIGUSR1, then (after `delay_ms`) runs
// `on_signal` in the child, and reports through its exit status whether the
// signal came (0 = signalled, 3 = not within the time).
class FakeDaemon {
  public:
    FakeDaemon(std::function<void()> on_signal, int delay_ms = 0) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGUSR1);
        sigset_t old;
        ::sigprocmask(SIG_BLOCK, &set, &old);
        pid_ = ::fork();
        if (pid_ == 0) {
            struct timespec limit {1, 0};
            if (::sigtimedwait(&set, nullptr, &limit) != SIGUSR1)
                ::_exit(3);
            ::usleep(static_cast<useconds_t>(delay_ms) * 1000);
            on_signal();
            ::_exit(0);
        }
        ::sigprocmask(SIG_SETMASK, &old, nullptr);
    }
    ~FakeDaemon() {
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    // true when the daemon got the signal (it ends by itself either way).
    bool signalled() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

  private:
    pid_t pid_ = 0;
    bool reaped_ = false;
};

class Graceful : public ::testing::Test {
  protected:
    void SetUp() override {
        Tavrel::Service::Hot::GRACEFUL_PASSES = 20;  // 0.5 s
        pidfile_ = tmp_ / "hot.pid";
    }
    void TearDown() override { Tavrel::Service::Hot::GRACEFUL_PASSES = 600; }

    std::unique_ptr<HotSvc> make(json options = json::object()) {
        options["service"] = "hotsvc";
        options["pidfile"] = pidfile_;
        auto srv = Tavrel::Service::Base::create<HotSvc>(options);
        srv->set_service_manager(std::make_unique<Tavrel::Service::TestSupport::FakeBackend>(std::make_shared<Tavrel::Service::TestSupport::BackendState>()));
        srv->set_output_obj(out_.output());
        Tavrel::Foundation::Logger::Options lo;
        lo.alternate_logfile = tmp_ / "error_log";
        lo.no_load_from_cache = true;
        srv->set_logger(Tavrel::Foundation::Logger::create(lo));
        return srv;
    }

    void write_pidfile(const std::string& text) {
        std::ofstream(pidfile_, std::ios::trunc) << text;
    }

    TempDir tmp_;
    std::string pidfile_;
    Tavrel::Service::TestSupport::Captured out_;
};

TEST_F(Graceful, RewriteInTheSameSecondCounts) {
    std::string path = pidfile_;
    FakeDaemon daemon([path] { std::ofstream(path, std::ios::trunc) << ::getpid() << "\n"; });
    write_pidfile(std::to_string(daemon.pid()) + "\n");
    auto srv = make({{"verbose", 2}});
    EXPECT_EQ(srv->restart_gracefully(), true);
    EXPECT_TRUE(daemon.signalled());
    EXPECT_NE(out_.text.find("rewrote its pid file"), std::string::npos);
}

TEST_F(Graceful, EmptyFileDoesNotCountTheLaterWriteDoes) {
    std::string path = pidfile_;
    FakeDaemon daemon([path] {
        { std::ofstream truncate(path, std::ios::trunc); }
        ::usleep(150000);
        std::ofstream(path, std::ios::trunc) << ::getpid() << "\n";
    });
    write_pidfile(std::to_string(daemon.pid()) + "\n");
    auto srv = make();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(srv->restart_gracefully(), true);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));
    EXPECT_TRUE(daemon.signalled());
}

TEST_F(Graceful, NoRewriteFailsAfterThePasses) {
    FakeDaemon daemon([] {});
    write_pidfile(std::to_string(daemon.pid()) + "\n");
    auto srv = make({{"verbose", 1}});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(srv->restart_gracefully(), false);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(450));
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_TRUE(daemon.signalled());
    EXPECT_NE(out_.text.find("did not complete"), std::string::npos);
}

TEST_F(Graceful, NothingIsSignalledWhenOffOrWithoutAUsablePid) {
    FakeDaemon daemon([] {});
    write_pidfile(std::to_string(daemon.pid()) + "\n");
    auto off = make({{"is_graceful_restart_enabled", false}});
    EXPECT_EQ(off->restart_gracefully(), false);

    auto srv = make();
    for (const std::string& text : std::vector<std::string>{"", "0\n", "1\n", "-5\n", "abc\n", std::to_string(::getpid()) + "\n",
                             std::to_string(::getppid()) + "\n"}) {
        write_pidfile(text);
        EXPECT_EQ(srv->restart_gracefully(), false) << text;
    }
    ::unlink(pidfile_.c_str());
    EXPECT_EQ(srv->restart_gracefully(), false);

    // A link at the pid file's path is neither read nor touched.
    const std::string real = tmp_ / "real.pid";
    std::ofstream(real) << daemon.pid() << "\n";
    struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, real.c_str(), old_times, 0), 0);
    ASSERT_EQ(::symlink(real.c_str(), pidfile_.c_str()), 0);
    EXPECT_EQ(srv->restart_gracefully(), false);
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
    EXPECT_FALSE(daemon.signalled());
}

TEST_F(Graceful, ForeignPidFileNamesOnlyTheServicesOwnProcess) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give the pid file to another owner";
    FakeDaemon daemon([] {});
    write_pidfile(std::to_string(daemon.pid()) + "\n");
    ASSERT_EQ(::chown(pidfile_.c_str(), 65534, 65534), 0);
    auto srv = make({{"service_binary", "/usr/sbin/hotsvcd"}});
    EXPECT_EQ(srv->restart_gracefully(), false);
    EXPECT_FALSE(daemon.signalled());
    std::string log = TempDir::read(tmp_ / "error_log");
    EXPECT_NE(log.find("neither the service's program nor its account's"), std::string::npos);

    // The same file naming a process that runs the service's program.
    std::string path = pidfile_;
    FakeDaemon own([path] { std::ofstream(path, std::ios::trunc) << ::getpid() << "\n"; });
    write_pidfile(std::to_string(own.pid()) + "\n");
    const std::string program = std::filesystem::canonical("/proc/self/exe").string();
    auto confirmed = make({{"service_binary", program}});
    EXPECT_EQ(confirmed->restart_gracefully(), true);
    EXPECT_TRUE(own.signalled());
}

}  // namespace
