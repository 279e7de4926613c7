#include "Tavrel/Service/Base.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/File/Flock.h"
#include "Tavrel/Foundation/LogCheck.h"
#include "Tavrel/Server/Pkgr.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Server/Monitor/Suspension.h"
#include "Tavrel/Init/SysV/Script.h"
#include "Tavrel/Service/Lock.h"
#include "Tavrel/Service/RunSignals.h"
#include "testsupport/FakeBackend.h"
#include "testsupport/InChild.h"
#include "testsupport/TempDir.h"
#include "testsupport/TestChild.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace Tavrel::Service {
// A per-service class declares the word of its service; its class name is
// only shown, so a class that declares none has none, whatever its name says.
namespace Services {
class Foo : public Tavrel::Service::TestSupport::Testable<Tavrel::Service::Base> {
  public:
    std::string class_name() const override { return "Tavrel::ServiceManager::Services::Foo"; }

  protected:
    std::string _build_service() override { return "foo"; }
    std::string _build_pidfile() override { return "/run/foo.pid"; }
    long _build_suspend_time() override { return 42; }
};
class Bar : public Tavrel::Service::TestSupport::Testable<Tavrel::Service::Base> {
  public:
    std::string class_name() const override { return "Tavrel::ServiceManager::Services::Bar"; }
};
}  // namespace Services
}  // namespace Tavrel::Service

namespace {

using namespace Tavrel::Service::TestSupport;
using Tavrel::Foundation::Exception;
using Tavrel::TestSupport::TempDir;
using json = nlohmann::json;
namespace TestChild = Tavrel::TestSupport::TestChild;

using Svc = Tavrel::Service::TestSupport::Testable<Tavrel::Service::Base>;

class ServiceCore : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_lock_base_ = Tavrel::Service::Lock::LOCK_BASE;
        saved_log_dir_ = Tavrel::Foundation::LogCheck::LOG_DIR;
        saved_suspend_dir_ = Tavrel::Server::Monitor::Suspension::SERVICE_SUSPEND_DIR;
        Tavrel::Service::Lock::LOCK_BASE = tmp_ / "locks";
        Tavrel::Service::Lock::LOCK_TIMEOUT = 0.2;
        saved_log_file_ = Tavrel::Foundation::Logger::STD_LOG_FILE;
        Tavrel::Foundation::Logger::STD_LOG_FILE = tmp_ / "error_log";
        Tavrel::Foundation::LogCheck::LOG_DIR = tmp_ / "log";
        Tavrel::Server::Monitor::Suspension::SERVICE_SUSPEND_DIR = tmp_ / "suspended";
        Tavrel::Service::Base::STATUS_WAIT_LIMIT = 0.3;
        Tavrel::Service::Base::STOP_CONFIRM_WAIT = 0.1;
        Tavrel::Service::Base::STOP_CONFIRM_POLL = 0.01;
        Tavrel::Service::Base::STATUS_POLL_INTERVAL = 0.01;
        Tavrel::Service::Base::PIDFILE_POLL_INTERVAL = 0.01;
        Tavrel::Service::Base::PID_READ_PAUSE = 0.01;
        // Every start here would wait a second to see its daemon stay up;
        // the tests of that confirmation ask for it.
        Tavrel::Service::Base::DEFAULT_START_SETTLE = 0;
        state_ = std::make_shared<Tavrel::Service::TestSupport::BackendState>();
    }
    // A backend whose stop ends the service and whose start brings it up,
    // as the status then says.
    void backend_acts() {
        state_->on_stop = [this] {
            state_->status = "";
            return true;
        };
        state_->on_start = [this] {
            state_->status = "up";
            return true;
        };
    }
    void TearDown() override {
        Tavrel::Service::Lock::LOCK_BASE = saved_lock_base_;
        Tavrel::Service::Lock::LOCK_TIMEOUT = 196;
        Tavrel::Foundation::Logger::STD_LOG_FILE = saved_log_file_;
        Tavrel::Foundation::Logger::clear_singleton_stash();
        Svc::TAKE_LOCK = false;
        Tavrel::Foundation::LogCheck::LOG_DIR = saved_log_dir_;
        Tavrel::Server::Monitor::Suspension::SERVICE_SUSPEND_DIR = saved_suspend_dir_;
        Tavrel::Service::Base::STATUS_WAIT_LIMIT = 120;
        Tavrel::Service::Base::STOP_CONFIRM_WAIT = 5;
        Tavrel::Service::Base::STOP_CONFIRM_POLL = 0.05;
        Tavrel::Service::Base::STATUS_POLL_INTERVAL = 0.05;
        Tavrel::Service::Base::PIDFILE_POLL_INTERVAL = 0.05;
        Tavrel::Service::Base::PID_READ_PAUSE = 0.1;
        Tavrel::Service::Base::DEFAULT_START_SETTLE = 1.0;
        Tavrel::Service::Base::START_GONE_GRACE = 1.0;
    }

    // A service object wired to the fake backend, a captured output and a
    // private log file.
    template <class T = Svc>
    std::unique_ptr<T> make(json options = json::object()) {
        if (!options.contains("service"))
            options["service"] = "testsvc";
        if (!options.contains("is_enabled"))
            options["is_enabled"] = true;
        if (!options.contains("service_binary"))
            options["service_binary"] = "";
        auto srv = Tavrel::Service::Base::create<T>(options);
        srv->set_service_manager(std::make_unique<Tavrel::Service::TestSupport::FakeBackend>(state_));
        srv->set_output_obj(out_.output());
        Tavrel::Foundation::Logger::Options lo;
        lo.alternate_logfile = tmp_ / "error_log";
        lo.no_load_from_cache = true;
        srv->set_logger(Tavrel::Foundation::Logger::create(lo));
        return srv;
    }

    std::string log_text() { return TempDir::read(tmp_ / "error_log"); }

    TempDir tmp_;
    std::shared_ptr<Tavrel::Service::TestSupport::BackendState> state_;
    Tavrel::Service::TestSupport::Captured out_;
    std::string saved_lock_base_, saved_log_dir_, saved_suspend_dir_, saved_log_file_;
};

template <class F>
std::string failure_type(F&& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.type_path();
    }
    return "none";
}

// "Type::Path: message" of the failure `f` raises, or "none".
template <class F>
std::string failure_of(F&& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.type_path() + ": " + e.to_string_no_id();
    }
    return "none";
}

// --- Attributes ---------------------------------------------------------

TEST_F(ServiceCore, ServiceClassNamesItsServiceAndOverrideOnlyRenames) {
    auto plain = Tavrel::Service::Base::create<Tavrel::Service::Services::Foo>({{"service_override", "bar"}});
    EXPECT_EQ(plain->service(), "foo");
    EXPECT_EQ(plain->service_name(), "bar");
    EXPECT_EQ(plain->service_to_suspend(), "foo");
    EXPECT_EQ(plain->pidfile(), "/run/foo.pid");  // the class's builder
    EXPECT_EQ(plain->suspend_time(), 42);
    plain->set_suspend_time(7);  // a setter wins over the builder
    EXPECT_EQ(plain->suspend_time(), 7);
    auto unnamed = Tavrel::Service::Base::create<Tavrel::Service::Services::Bar>();
    EXPECT_EQ(unnamed->service(), "");
    EXPECT_EQ(unnamed->class_name(), "Tavrel::ServiceManager::Services::Bar");
    auto generic = make();
    EXPECT_EQ(generic->service(), "testsvc");
    EXPECT_EQ(generic->processowner(), "root");
    EXPECT_EQ(generic->startup_timeout(), 10);
    EXPECT_EQ(generic->suspend_time(), 600);
    EXPECT_TRUE(generic->graceful_by_default());
    EXPECT_FALSE(generic->restart_args().has_value());
}

TEST_F(ServiceCore, AttributesBySetByNameFromJson) {
    auto srv = make({{"doomed_rules", "crond"},
                     {"ports", json::array({25, "465"})},
                     {"restart_args", json::array({"-r"})},
                     {"current_restart_attempt", 2},
                     {"support_reload", "1"},
                     {"startup_timeout", 2.5},
                     {"no_such_attribute", 1}});  // ignored at construction
    EXPECT_EQ(srv->doomed_rules(), std::vector<std::string>{"crond"});
    EXPECT_EQ(srv->ports(), (std::vector<int>{25, 465}));
    EXPECT_EQ(srv->restart_args(), std::vector<std::string>{"-r"});
    EXPECT_EQ(srv->current_restart_attempt(), 2);
    EXPECT_TRUE(srv->support_reload());
    EXPECT_DOUBLE_EQ(srv->startup_timeout(), 2.5);

    EXPECT_FALSE(srv->set_attribute("no_such_attribute", 1));
    EXPECT_FALSE(srv->set_attribute("logger", 1));
    EXPECT_EQ(failure_type([&] { srv->set_attribute("ports", json::array({0})); }),
              "Param::Invalid");
    EXPECT_EQ(failure_type([&] { srv->set_attribute("verbose", "loud"); }), "Param::Invalid");
    EXPECT_EQ(failure_type([&] { srv->set_attribute("command_line_regex", "(unclosed"); }),
              "Param::Invalid");
    EXPECT_EQ(failure_type([&] { srv->apply_options({{"bogus", 1}}, false); }), "Param::Invalid");
    // The action taken, by its old name and spelling: a verb's word in
    // capitals, any other word a custom action's; a verb set later wins.
    EXPECT_TRUE(srv->set_attribute("service_argv_action", "RELOAD"));
    EXPECT_EQ(srv->service_argv_action(), Tavrel::Service::Verb::Reload);
    EXPECT_TRUE(srv->set_attribute("service_argv_action", "flush"));
    EXPECT_FALSE(srv->service_argv_action().has_value());
    EXPECT_EQ(srv->custom_action_taken(), "flush");
    srv->set_service_argv_action(Tavrel::Service::Verb::Stop);
    EXPECT_EQ(srv->custom_action_taken(), "");
    EXPECT_TRUE(srv->set_attribute("service_argv_action", ""));
    EXPECT_FALSE(srv->service_argv_action().has_value());
    // Numbers out of a long's range, and texts the kernel would cut at a NUL
    // byte (a definition naming "/usr/sbin/x", NUL, "y" would run /usr/sbin/x).
    for (const json& v : {json(1e300), json(-1e300), json(18446744073709551615ull), json(2.5)})
        EXPECT_EQ(failure_type([&] { srv->set_attribute("restart_attempts", v); }),
                  "Param::Invalid") << v.dump();
    const std::string cut("/usr/sbin/x\0y", 13);
    EXPECT_EQ(failure_type([&] { srv->set_attribute("service_binary", cut); }), "Param::Invalid");
    EXPECT_EQ(failure_type([&] { srv->set_attribute("pidfile", cut); }), "Param::Invalid");
    EXPECT_EQ(failure_type([&] { srv->set_attribute("startup_args", json::array({"-c", cut})); }),
              "Param::Invalid");
    EXPECT_EQ(failure_type([&] { srv->set_attribute("doomed_rules", cut); }), "Param::Invalid");
    EXPECT_TRUE(srv->set_attribute("restart_attempts", 4.0));

    auto names = Tavrel::Service::Hot().attribute_names();
    EXPECT_EQ(names.front(), "is_tavrel_service");
    EXPECT_EQ(names.back(), "is_graceful_restart_enabled");
}

// --- Lock -----------------------------------------------------------------

TEST_F(ServiceCore, LockIsTakenAtConstructionAndKeptWhenAChildDropsTheObject) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "the run lock is only taken by root";
    Svc::TAKE_LOCK = true;
    auto srv = make({{"service", "locked"}});
    ASSERT_NE(srv->lock(), nullptr);
    std::string path = srv->lock()->path();
    auto try_lock = [&] {
        return Tavrel::TestSupport::in_child([&] {
            return Tavrel::Foundation::File::Flock::try_lock_path(path, 0600) ? 0 : 1;
        });
    };
    EXPECT_EQ(try_lock(), 1);
    // A forked child that destroys its copy of the object leaves the lock.
    EXPECT_EQ(Tavrel::TestSupport::in_child([&] {
                  srv.reset();
                  return 0;
              }),
              0);
    EXPECT_EQ(try_lock(), 1);
    srv.reset();
    EXPECT_EQ(try_lock(), 0);
}

TEST_F(ServiceCore, WordsOfOneDaemonNameOneDaemonWhateverTheInitSystem) {
    // An init script: two words that map to it, one of them through a link.
    const std::string saved_dir = Tavrel::Init::SysV::Script::INIT_D_DIR;
    Tavrel::Init::SysV::Script::INIT_D_DIR = tmp_ / "init.d";
    const std::string script = tmp_.write("init.d/dovecot", "#!/bin/sh\n");
    ::chmod(script.c_str(), 0755);
    std::filesystem::create_symlink(script, tmp_ / "init.d/mailstore");
    auto by_script = [&](const std::string& word, const std::string& name) {
        auto srv = Tavrel::Service::Base::create<Svc>({{"service", word}, {"service_override", name}});
        return srv->controlled_daemon();
    };
    const std::string imap = by_script("imap", "dovecot");
    EXPECT_EQ(imap, "script " + std::filesystem::canonical(script).string());
    EXPECT_EQ(by_script("pop", "dovecot"), imap);
    EXPECT_EQ(by_script("lmtp", "mailstore"), imap);
    Tavrel::Init::SysV::Script::INIT_D_DIR = saved_dir;

    // A unit: its id, whatever name the word reached it by.
    state_->unit = Tavrel::Init::UnitProperties{{"Id", "ssh.service"}, {"SubState", "running"}};
    EXPECT_EQ(make({{"service", "sshd"}})->controlled_daemon(), "unit ssh.service");

    // A daemon this tool launches: the program and its pid file, so a
    // second listener of one program with a pid file of its own is another.
    state_->unit.reset();
    auto launched = [&](const std::string& word, const std::string& pidfile) {
        return make({{"service", word}, {"is_tavrel_service", true},
                     {"service_binary", "/bin/sleep"}, {"pidfile", pidfile}})
            ->controlled_daemon();
    };
    EXPECT_EQ(launched("exim", "/run/exim.pid"), launched("mta", "/run/exim.pid"));
    EXPECT_NE(launched("exim", "/run/exim.pid"), launched("exim-altport", "/run/exim-26.pid"));
}

TEST_F(ServiceCore, NoLockWithoutRoot) {
    EXPECT_EQ(Tavrel::TestSupport::in_child([&] {
                  if (::geteuid() == 0 && ::seteuid(65534) != 0)
                      return 2;
                  Svc::TAKE_LOCK = true;
                  auto srv = Tavrel::Service::Base::create<Svc>({{"service", "nolock"}});
                  return srv->lock() == nullptr ? 0 : 1;
              }),
              0);
}

// --- Status and checks ----------------------------------------------------------

TEST_F(ServiceCore, StatusGivesTheTextOrThePreciseFailure) {
    auto srv = make();
    state_->status = "testsvc is running";
    EXPECT_EQ(srv->status(), "testsvc is running");
    EXPECT_EQ(srv->service_status(), "testsvc is running");
    EXPECT_TRUE(srv->is_up());
    EXPECT_TRUE(srv->is_up(std::string("running")));
    EXPECT_FALSE(srv->is_up(std::string("run")));  // a whole word only

    state_->status = "";
    EXPECT_EQ(failure_type([&] { srv->status(); }), "Services::IsDown");
    srv->set_is_enabled(false);
    EXPECT_EQ(failure_type([&] { srv->status(); }), "Services::Disabled");
    srv->set_is_configured(false);
    EXPECT_EQ(failure_type([&] { srv->status(); }), "Services::NotConfigured");
    // The role is tested once per object, and first.
    auto forbidden = make({{"is_configured", false}});
    forbidden->role_off = true;
    EXPECT_EQ(failure_type([&] { forbidden->status(); }), "Services::RoleNotAllowed");

    // Without a status helper the process check answers.
    auto other = make();
    state_->status.reset();
    other->process_check_text = "testsvc (pid 5) is running";
    EXPECT_EQ(other->get_status_string(), "testsvc (pid 5) is running");
}

TEST_F(ServiceCore, UncheckableServiceCountsAsRunning) {
    auto srv = make({{"can_check_service_status", false}, {"is_enabled", false}});
    state_->status = "";
    std::string text = srv->get_status_string();
    EXPECT_NE(text.find("testsvc"), std::string::npos);
    EXPECT_EQ(srv->status(), text);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(srv->wait_for_service_status(0).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST_F(ServiceCore, BinaryMissingOrNotExecutable) {
    auto missing = make({{"service_binary", (tmp_ / "nowhere")}});
    try {
        missing->check_sanity();
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.type_path(), "Services::BinaryNotFound");
        EXPECT_EQ(e.get_text("binary"), tmp_ / "nowhere");
        EXPECT_EQ(e.error_number(), ENOENT);
    }
    auto fine = make({{"service_binary", "/bin/sh"}});
    EXPECT_TRUE(fine->check_sanity());
}

// A package database that knows one package.
class OnePackage : public Tavrel::Server::Pkgr::Base {
  public:
    Tavrel::Server::Pkgr::VersionMap get_version_for_packages(
        const std::vector<std::string>& packages) override {
        Tavrel::Server::Pkgr::VersionMap out;
        for (const auto& p : packages)
            if (p == "present-pkg")
                out[p] = "1.0";
        return out;
    }
    bool is_installed(std::string_view package) override { return package == "present-pkg"; }
};

TEST_F(ServiceCore, MissingBinaryIsNotInstalledOnlyWhenItsPackageIsMissing) {
    auto saved = Tavrel::Server::Pkgr::factory;
    Tavrel::Server::Pkgr::factory = [] { return std::make_unique<OnePackage>(); };
    Tavrel::Server::Pkgr::reset_instance();
    auto absent = make({{"service_binary", (tmp_ / "nowhere")},
                        {"service_package", json::array({"present-pkg", "absent-pkg"})}});
    try {
        absent->check_sanity();
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(e.type_path(), "Services::NotInstalled");
        EXPECT_EQ(e.get_text("package"), "absent-pkg");
    }
    auto installed = make({{"service_binary", (tmp_ / "nowhere")}, {"service_package", "present-pkg"}});
    EXPECT_EQ(failure_type([&] { installed->check_sanity(); }), "Services::BinaryNotFound");
    Tavrel::Server::Pkgr::factory = saved;
    Tavrel::Server::Pkgr::reset_instance();
}

TEST_F(ServiceCore, CheckWithMessageKeepsTheEarlierStatus) {
    auto srv = make();
    state_->status = "first";
    srv->status();
    state_->status = "second";
    state_->check_answer = false;
    auto [ok, message] = srv->check_with_message();
    EXPECT_FALSE(ok);
    EXPECT_EQ(message, "second");
    EXPECT_EQ(srv->_last_status(), "first");
}

TEST_F(ServiceCore, WaitForStatusGivesUpAtItsLimit) {
    auto srv = make({{"verbose", 2}});
    state_->status = "";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(srv->wait_for_service_status(0), "");
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(290));
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_NE(log_text().find("Waited 0 seconds for testsvc"), std::string::npos);
}

// --- The pid-file test -------------------------------------------------------

TEST_F(ServiceCore, PidFileTest) {
    std::string pidfile = tmp_ / "svc.pid";
    auto srv = make({{"pidfile", pidfile}, {"startup_timeout", 0.15}});
    // Never written: a warning after the time-out.
    EXPECT_FALSE(srv->is_up_via_pidfile());
    EXPECT_NE(log_text().find("did not write its pid file"), std::string::npos);

    // Written late, naming a live process.
    auto child = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tvpid"), "30"});
    srv->set_startup_timeout(2);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        tmp_.write("svc.pid", std::to_string(child.pid()) + "\n");
    });
    EXPECT_TRUE(srv->is_up_via_pidfile());
    writer.join();

    // Text without digits; a process that is gone; a zombie; pid 1.
    tmp_.write("svc.pid", "garbage\n");
    EXPECT_FALSE(srv->is_up_via_pidfile());
    pid_t zombie = ::fork();
    if (zombie == 0)
        ::_exit(0);
    for (int i = 0; i < 200; ++i) {
        siginfo_t info{};
        if (::waitid(P_PID, zombie, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == zombie)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    tmp_.write("svc.pid", std::to_string(zombie) + "\n");
    EXPECT_FALSE(srv->is_up_via_pidfile());  // a zombie has ended
    ::waitpid(zombie, nullptr, 0);
    EXPECT_FALSE(srv->is_up_via_pidfile());  // gone altogether
    tmp_.write("svc.pid", "1\n");
    EXPECT_FALSE(srv->is_up_via_pidfile());

    // Right after a start, a forking daemon first names its parent, which
    // exits, then rewrites the file from the child: that is up, not a failure.
    tmp_.write("svc.pid", std::to_string(zombie) + "\n");
    std::thread rewriter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        tmp_.write("svc.pid", std::to_string(child.pid()) + "\n");
    });
    EXPECT_FALSE(srv->is_up_via_pidfile());  // an ordinary look does not wait
    EXPECT_TRUE(srv->is_up_via_pidfile(true));
    rewriter.join();
}

// A pid file written a few milliseconds after a start is seen then, not a
// whole poll interval later: a restart should not idle while the daemon is up.
TEST_F(ServiceCore, PidFileWaitsLookAgainSoonAfterAStart) {
    Tavrel::Service::Base::PIDFILE_POLL_INTERVAL = 1.0;
    std::string pidfile = tmp_ / "soon.pid";
    auto srv = make({{"pidfile", pidfile}, {"startup_timeout", 3}});
    auto child = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tvsoon"), "30"});
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        tmp_.write("soon.pid", std::to_string(child.pid()) + "\n");
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(srv->is_up_via_pidfile(true));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    writer.join();
}

// --- start ------------------------------------------------------------------

TEST_F(ServiceCore, StartWithPortsTriesTwiceAndClearsThePortsFirst) {
    auto srv = make({{"ports", json::array({1})}, {"verbose", 1}});
    int starts = 0;
    state_->on_start = [&] { return ++starts == 2; };
    state_->status = "";
    // Up only after the second start.
    state_->on_start = [&] {
        if (++starts == 2)
            state_->status = "testsvc is running";
        return true;
    };
    EXPECT_TRUE(srv->start());
    EXPECT_EQ(starts, 2);
    EXPECT_EQ(state_->calls,
              (std::vector<std::string>{"start", "restart_attempt 1", "start"}));
    EXPECT_EQ(srv->hook_attempts, std::vector<int>{1});
    EXPECT_NE(out_.text.find("Starting testsvc"), std::string::npos);
    EXPECT_NE(out_.text.find(Tavrel::Service::Base::SUCCESS_WORD), std::string::npos);
}

TEST_F(ServiceCore, StartFailures) {
    auto srv = make({{"restart_attempts", 3}, {"verbose", 1}});
    state_->status = "";
    EXPECT_EQ(failure_type([&] { srv->start(); }), "Services::StartError");
    EXPECT_EQ(std::count(state_->calls.begin(), state_->calls.end(), "start"), 3);
    EXPECT_NE(out_.text.find(Tavrel::Service::Base::FAILURE_WORD), std::string::npos);

    // A given attempt number: exactly one attempt, and no port clean-up.
    state_->calls.clear();
    auto one = make({{"current_restart_attempt", 2}, {"ports", json::array({1})}});
    EXPECT_EQ(failure_type([&] { one->start(); }), "Services::StartError");
    EXPECT_EQ(state_->calls, (std::vector<std::string>{"restart_attempt 2", "start"}));

    // Vetoed by the class, or disabled: no start at all.
    state_->calls.clear();
    auto vetoed = make();
    vetoed->start_check_answer = false;
    EXPECT_FALSE(vetoed->start());
    EXPECT_TRUE(state_->calls.empty());
}

// After a restart whose start failed, nothing may still say the service runs:
// not the recorded status (shown in the summary), not the progress line.
TEST_F(ServiceCore, AFailedStartOfARestartLeavesNoStatusOfBefore) {
    auto srv = make({{"verbose", 1}});
    state_->status = "svc is running with PID 42";
    state_->on_stop = [this] {
        state_->status = "";
        return true;
    };
    state_->on_start = [] { return false; };
    EXPECT_EQ(failure_type([&] { srv->restart(); }), "Services::StartError");
    EXPECT_EQ(srv->service_status(), "");
    EXPECT_THAT(out_.text, testing::HasSubstr("and starting it"));
    EXPECT_GT(out_.text.find(Tavrel::Service::Base::FAILURE_WORD), out_.text.find("and starting it"));
}

TEST_F(ServiceCore, StartRemovesAStalePidFile) {
    std::string pidfile = tmp_.write("svc.pid", "999999999\n");
    auto srv = make({{"pidfile", pidfile}, {"startup_timeout", 0.05}});
    bool seen_at_start = true;
    state_->on_start = [&] {
        seen_at_start = std::filesystem::exists(pidfile);
        return false;
    };
    EXPECT_EQ(failure_type([&] { srv->start(); }), "Services::StartError");
    EXPECT_FALSE(seen_at_start);
}

// --- start confirmation ---------------------------------------------------

// A daemon the init system reported started must still run once it had the
// chance to fail: the start waits for that only as long as the waits before
// it have not already watched it.
TEST_F(ServiceCore, AStartCountsOnlyWhenItsDaemonStaysUp) {
    using Clock = std::chrono::steady_clock;
    auto srv = make({{"start_settle", 0.3}});
    Clock::time_point started;
    backend_acts();
    state_->on_start = [&] {
        started = Clock::now();
        state_->status = "up";
        return true;
    };
    // Ends 0.1 s after its start.
    state_->on_status = [&] {
        if (Clock::now() - started > std::chrono::milliseconds(100))
            state_->status = "";
    };
    EXPECT_THAT(failure_of([&] { srv->start(); }),
                testing::MatchesRegex("Services::StartError: .*no longer running.*"));
    EXPECT_THAT(log_text(), testing::HasSubstr("did not hold"));

    // Stays up: started once the settle time has passed.
    state_->on_status = [] {};
    auto start = Clock::now();
    EXPECT_TRUE(srv->start());
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));

    // Seen up only 0.3 s after its start: no second wait.
    Tavrel::Service::Base::STATUS_WAIT_LIMIT = 2;
    state_->on_status = [&] {
        state_->status = Clock::now() - started > std::chrono::milliseconds(300) ? "up" : "";
    };
    start = Clock::now();
    EXPECT_TRUE(srv->start());
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));

    // start_settle 0 takes the init system's word: the first look is all.
    int looks = 0;
    state_->on_status = [&] {
        if (++looks > 1)
            state_->status = "";
    };
    state_->on_start = [&] {
        looks = 0;
        state_->status = "up";
        return true;
    };
    srv->set_start_settle(0);
    EXPECT_TRUE(srv->start());
    EXPECT_EQ(failure_type([&] { srv->set_attribute("start_settle", -1); }), "Param::Invalid");
}

// A daemon that crashes and is brought back by its init system looks up at
// every look; what the init system counted between the start and the end of
// the settle time tells.
TEST_F(ServiceCore, AStartFailsWhenTheInitSystemRestartedItsDaemonMeanwhile) {
    using Marks = Tavrel::Init::StartMarks;
    auto srv = make({{"start_settle", 0.05}, {"restart_attempts", 1}});
    state_->status = "up";
    struct Case {
        Marks then, now;
        const char* says;  // empty: the start holds
    } cases[] = {
        {{0, 100}, {2, 130}, "systemd restarted it 2 times"},
        {{0, 100}, {0, std::nullopt}, "main process \\(PID 100\\) ended"},
        {{0, 100}, {0, 101}, "replaced by PID 101"},
        {{1, 100}, {1, 100}, ""},
        {{std::nullopt, std::nullopt}, {std::nullopt, 7}, ""},
    };
    for (const auto& c : cases) {
        int looks = 0;
        state_->start_marks = [&] { return std::optional<Marks>(++looks == 1 ? c.then : c.now); };
        if (*c.says == 0) {
            EXPECT_TRUE(srv->start());
        } else {
            EXPECT_THAT(failure_of([&] { srv->start(); }),
                        testing::MatchesRegex(std::string("Services::StartError: .*") + c.says + ".*"));
        }
        EXPECT_EQ(looks, 2);
    }
}

// A service with ports is up once a process of its own listens on each: at
// once when it does, and a failure naming who listens there when it does not.
TEST_F(ServiceCore, AServiceWithPortsIsUpWhenItsOwnProcessListens) {
    using Clock = std::chrono::steady_clock;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    socklen_t length = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    const int port = ntohs(addr.sin_port);
    state_->status = "up";

    // This test program is the daemon that listens.
    auto own = make({{"ports", json::array({port})},
                     {"start_settle", 1},
                     {"service_binary", std::filesystem::canonical("/proc/self/exe").string()},
                     {"current_restart_attempt", 0}});
    auto start = Clock::now();
    EXPECT_TRUE(own->start());
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));

    // Listening on one port and leaving the other free: up once the settle
    // time has passed (its configuration may not ask for the second).
    int spare = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in spare_addr{};
    spare_addr.sin_family = AF_INET;
    spare_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(spare, reinterpret_cast<sockaddr*>(&spare_addr), sizeof spare_addr), 0);
    length = sizeof spare_addr;
    ::getsockname(spare, reinterpret_cast<sockaddr*>(&spare_addr), &length);
    ::close(spare);  // a port nobody listens on
    own->set_ports({port, ntohs(spare_addr.sin_port)});
    own->set_start_settle(0.3);
    start = Clock::now();
    EXPECT_TRUE(own->start());
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));

    // Another program's service: the listener is in its way.
    auto other = make({{"ports", json::array({port})},
                       {"start_settle", 1},
                       {"service_binary", "/bin/true"},
                       {"startup_timeout", 0.2},
                       {"current_restart_attempt", 0}});
    EXPECT_THAT(failure_of([&] { other->start(); }),
                testing::MatchesRegex(".*not listening on its port " + std::to_string(port) +
                                      ".*PID " + std::to_string(::getpid()) + " .*"));
    ::close(fd);
}

// Once its init script or unit has finished, a start whose daemon has gone
// is over at once, not after startup_timeout or the status wait; while
// something of the service runs, or the unit is still starting, the waits go on.
TEST_F(ServiceCore, AStartWhoseDaemonIsGoneIsOverAtOnce) {
    using Clock = std::chrono::steady_clock;
    Tavrel::Service::Base::START_GONE_GRACE = 0.1;
    state_->status = "";
    auto srv = make({{"pidfile", tmp_ / "never.pid"}, {"startup_timeout", 5}});
    auto start = Clock::now();
    EXPECT_THAT(failure_of([&] { srv->start(); }),
                testing::MatchesRegex(".*Nothing of it was left running.*"));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));

    // Without a pid file, by the unit's word.
    Tavrel::Service::Base::STATUS_WAIT_LIMIT = 5;
    state_->start_is_over = true;
    auto unit = make();
    start = Clock::now();
    EXPECT_EQ(failure_type([&] { unit->start(); }), "Services::StartError");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    Tavrel::Service::Base::STATUS_WAIT_LIMIT = 0.4;
    state_->start_is_over = false;
    start = Clock::now();
    EXPECT_EQ(failure_type([&] { unit->start(); }), "Services::StartError");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(400));

    // A process runs the service's program (this test program): it may
    // still write its pid file.
    state_->start_is_over.reset();
    auto running = make({{"pidfile", tmp_ / "never.pid"},
                         {"startup_timeout", 0.4},
                         {"service_binary", std::filesystem::canonical("/proc/self/exe").string()}});
    start = Clock::now();
    EXPECT_EQ(failure_type([&] { running->start(); }), "Services::StartError");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(400));
}

// The monitor leaves a service alone while a run has it down; once the run
// has it running again, the monitor watches it again. A stop's suspension,
// and a failed start's, lapse at their expiry.
TEST_F(ServiceCore, ARunThatLeavesTheServiceRunningLiftsTheSuspensionItWrote) {
    namespace Suspension = Tavrel::Server::Monitor::Suspension;
    auto srv = make({{"service", "susp"}});
    backend_acts();
    state_->status = "running";
    EXPECT_FALSE(srv->restart().empty());
    EXPECT_FALSE(std::filesystem::exists(tmp_ / "suspended/susp"));

    EXPECT_TRUE(srv->stop());
    EXPECT_TRUE(std::filesystem::exists(tmp_ / "suspended/susp"));

    // A suspension another run wrote stays.
    auto starter = make({{"service", "susp"}});
    EXPECT_TRUE(starter->start());
    EXPECT_TRUE(std::filesystem::exists(tmp_ / "suspended/susp"));

    state_->on_start = [] { return false; };
    auto failing = make({{"service", "susp"}});
    std::filesystem::remove(tmp_ / "suspended/susp");
    state_->status = "running";
    EXPECT_EQ(failure_type([&] { failing->restart(); }), "Services::StartError");
    EXPECT_TRUE(std::filesystem::exists(tmp_ / "suspended/susp"));
}

TEST_F(ServiceCore, FreshInstallBlockEndsTheRunUnlessForced) {
    auto srv = make({{"block_fresh_install", true}});
    ::setenv("TAVREL_BASE_INSTALL", "1", 1);
    int code = -1;
    try {
        srv->restart();
    } catch (const Tavrel::Service::TestSupport::ExitCalled& e) {
        code = e.code;
    }
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(state_->calls.empty());
    // The record written as the process ends says that nothing was done.
    EXPECT_THAT(srv->nothing_done(), testing::HasSubstr("while the base installation runs"));
    srv->set_call_with_force(true);
    state_->status = "up";
    EXPECT_NO_THROW(srv->_exit_if_block_fresh_install());
    ::unsetenv("TAVREL_BASE_INSTALL");
}

// --- stop -------------------------------------------------------------------

TEST_F(ServiceCore, StopOfAServiceThatIsNotRunning) {
    auto srv = make({{"verbose", 1}});
    state_->status = "";
    EXPECT_TRUE(srv->stop());
    EXPECT_TRUE(state_->calls.empty());
    // Said once, by the line that closes the run, not here as well.
    EXPECT_THAT(srv->nothing_done(), testing::HasSubstr("is not running; nothing was done"));
    EXPECT_EQ(out_.text.find("not running"), std::string::npos) << out_.text;
    // On behalf of systemd the backend is always asked.
    state_->executed_by_systemd = true;
    EXPECT_TRUE(srv->stop());
    EXPECT_EQ(state_->calls, (std::vector<std::string>{"stop_triggers", "stop"}));
}

// The answer of a stop is what runs afterwards, not what the stop command
// said: a command that failed and left the daemon running fails the stop,
// naming what runs; one that "failed" with nothing left running is a stop.
TEST_F(ServiceCore, AStopIsDoneOnlyWhenNothingOfTheServiceRuns) {
    auto srv = make({{"verbose", 1}});
    state_->status = "testsvc (/usr/sbin/testsvc -f) is running as root with PID 4242";
    state_->on_stop = [] { return false; };
    try {
        srv->stop();
        ADD_FAILURE() << "a stop that left the service running succeeded";
    } catch (const Tavrel::Foundation::Exception& e) {
        EXPECT_EQ(e.class_name(), "Tavrel::Exception::Services::StopError");
        EXPECT_THAT(e.to_string(), testing::HasSubstr("PID 4242"));
    }
    EXPECT_THAT(srv->service_status(), testing::HasSubstr("PID 4242"));
    EXPECT_THAT(out_.text, testing::HasSubstr(Tavrel::Service::Base::FAILURE_WORD));

    // A daemon that goes a moment after its stop command returned is stopped.
    out_.text.clear();
    int looks = 0;
    state_->status = "up";
    state_->on_stop = [&] { return false; };
    state_->on_status = [&] {
        if (++looks > 3)
            state_->status = "";
    };
    EXPECT_TRUE(srv->stop());
    EXPECT_THAT(out_.text, testing::HasSubstr(Tavrel::Service::Base::SUCCESS_WORD));
}

// --- what no pid file names -------------------------------------------------

// Gone: reaped, or a zombie.
bool gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return true;
    const auto close = line.rfind(')');
    return close != std::string::npos && line.compare(close + 1, 3, " Z ") == 0;
}

std::string my_account() { return ::geteuid() == 0 ? "root" : std::to_string(::geteuid()); }

// An init script that starts its daemon without writing the pid file: the
// status check finds the daemon in the process table. The stop agrees with
// it: what the check calls running fails the stop, named; the stop does not
// overrule an init script by killing what the script left running.
TEST_F(ServiceCore, AStopFailsNamingWhatTheStatusCheckFinds) {
    const std::string name = TestChild::unique_name("zn");
    auto srv = make({{"service", name},
                     {"service_binary", "/bin/sleep"},
                     {"pidfile", tmp_ / "zn.pid"},
                     {"processowner", my_account()},
                     {"verbose", 1}});
    srv->real_process_check = true;
    auto first = TestChild::spawn("/bin/sleep", {name, "30"});
    auto second = TestChild::spawn("/bin/sleep", {name, "30"});
    EXPECT_THAT(srv->status(), testing::HasSubstr("(process table check)"));
    const std::string failure = failure_of([&] { srv->stop(); });
    EXPECT_THAT(failure, testing::HasSubstr("StopError"));
    EXPECT_THAT(failure, testing::HasSubstr("PID " + std::to_string(first.pid())));
    EXPECT_THAT(failure, testing::HasSubstr("PID " + std::to_string(second.pid())));
    first.stop();
    second.stop();
    EXPECT_TRUE(srv->stop());
    EXPECT_EQ(failure_type([&] { srv->status(); }), "Services::IsDown");
}

TEST_F(ServiceCore, EachFailedStartAttemptEndsWhatItLaunched) {
    const std::string name = TestChild::unique_name("zn");
    auto srv = make({{"service", name},
                     {"service_binary", "/bin/sleep"},
                     {"pidfile", tmp_ / "zn.pid"},
                     {"processowner", my_account()},
                     {"restart_attempts", 3},
                     {"startup_timeout", 0.05}});
    srv->real_process_check = true;
    std::vector<TestChild::Child> launched;
    launched.reserve(4);
    state_->on_start = [&] {
        launched.push_back(TestChild::spawn("/bin/sleep", {name, "30"}));
        return true;
    };
    EXPECT_EQ(failure_type([&] { srv->start(); }), "Services::StartError");
    ASSERT_EQ(launched.size(), 3u);
    for (const auto& copy : launched)
        EXPECT_TRUE(gone(copy.pid())) << copy.pid();
}

// A stale pid file that stays (here one the kernel will not let anyone
// remove) may later be read as the new daemon's: the start says so.
TEST_F(ServiceCore, AStalePidFileThatCannotBeRemovedIsNamedInTheStartFailure) {
    const std::string stale = "/proc/self/status";  // a regular file naming no pid
    auto srv = make({{"pidfile", stale}});
    state_->on_start = [] { return false; };
    const std::string failure = failure_of([&] { srv->start(); });
    EXPECT_THAT(failure, testing::HasSubstr("StartError"));
    EXPECT_THAT(failure, testing::HasSubstr("The stale pid file " + stale));
    EXPECT_THAT(failure, testing::HasSubstr("could not be removed"));
    EXPECT_THAT(log_text(), testing::HasSubstr("could not be removed"));
}

// After the port clean-up, a port still held where the service listens
// (here by this test's own process, which is never signalled) would fail a
// second attempt alike: none is made, and the failure names the holder.
TEST_F(ServiceCore, NoSecondStartAttemptOnAPortStillHeld) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    auto srv = make({{"ports", json::array({ntohs(address.sin_port)})}});
    state_->on_start = [] { return false; };
    const std::string failure = failure_of([&] { srv->start(); });
    ::close(fd);
    EXPECT_THAT(failure, testing::HasSubstr("StartError"));
    EXPECT_THAT(failure, testing::HasSubstr("PID " + std::to_string(::getpid()) + " ("));
    EXPECT_THAT(failure, testing::HasSubstr("no second start attempt"));
    EXPECT_EQ(state_->calls, std::vector<std::string>{"start"});
}

TEST_F(ServiceCore, AStopSaysWhenTheSocketsThatStartItStayed) {
    auto srv = make();
    backend_acts();
    state_->status = "up";
    state_->stop_triggers_answer = false;
    EXPECT_TRUE(srv->stop());
    EXPECT_THAT(log_text(), testing::HasSubstr("could be stopped"));
}

// A unit still starting, or waiting for systemd to start it again, is not
// up, yet it is the service: a stop ends it. Only one at rest is left alone.
TEST_F(ServiceCore, AStopEndsAServiceTheInitSystemStillHasUnderWay) {
    auto srv = make({{"verbose", 1}});
    state_->status = "";
    state_->under_way = true;
    EXPECT_TRUE(srv->stop());
    EXPECT_EQ(state_->calls, (std::vector<std::string>{"stop_triggers", "stop"}));
    EXPECT_THAT(out_.text, testing::HasSubstr("Stopping testsvc"));
    EXPECT_THAT(out_.text, testing::Not(testing::HasSubstr("not running")));
}

// In a restart, the daemon started anew while the old one stopped (by a
// socket of its unit, at the next message) is the service restarted, not one
// the stop left running. A stop that must last fails on it, and any stop on
// an old process that it left.
TEST_F(ServiceCore, TheStopOfARestartTellsADaemonStartedAnewFromOneLeftRunning) {
    const std::string pidfile = tmp_ / "anew.pid";
    // The daemon runs as whoever runs the test.
    const struct passwd* me = ::getpwuid(::geteuid());
    ASSERT_NE(me, nullptr);
    auto srv = make({{"pidfile", pidfile}, {"processowner", me->pw_name}});
    auto daemon = [&] {
        auto child = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tvanew"), "30"});
        tmp_.write("anew.pid", std::to_string(child.pid()) + "\n");
        return child;
    };
    std::optional<TestChild::Child> running(daemon());
    state_->status = "up";
    bool replaces = true;
    state_->on_stop = [&] {
        if (!replaces)
            return false;
        running.reset();
        // What starts the daemon again comes after the stop's own work.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        running.emplace(daemon());
        return true;
    };
    const pid_t before = running->pid();
    EXPECT_EQ(srv->restart(), "up");
    EXPECT_NE(running->pid(), before);
    EXPECT_EQ(state_->calls, (std::vector<std::string>{"stop", "start"}));

    EXPECT_EQ(failure_type([&] { srv->stop(); }), "Services::StopError");
    EXPECT_THAT(srv->service_status(), testing::HasSubstr("PID " + std::to_string(running->pid())));

    replaces = false;
    const std::string left = failure_of([&] { srv->restart(); });
    EXPECT_THAT(left, testing::HasSubstr("Services::RestartError"));
    EXPECT_THAT(left, testing::HasSubstr("PID " + std::to_string(running->pid())));

    // Under an init script nothing starts the service but a start: a daemon
    // born during the stop is another run's (one killed while its init
    // script started it), and starting one more would run two.
    state_->starts_by_itself = false;
    replaces = true;
    state_->calls.clear();
    const std::string other = failure_of([&] { srv->restart(); });
    EXPECT_THAT(other, testing::HasSubstr("Services::RestartError"));
    EXPECT_THAT(other, testing::HasSubstr("PID " + std::to_string(running->pid())));
    EXPECT_EQ(state_->calls, (std::vector<std::string>{"stop"}));
}

// A restart whose stop left the service running starts no second copy.
TEST_F(ServiceCore, ARestartWhoseStopFailedStartsNothing) {
    auto srv = make({{"verbose", 1}});
    state_->status = "testsvc is running with PID 4242";
    EXPECT_EQ(failure_type([&] { srv->restart(); }), "Services::RestartError");
    EXPECT_EQ(state_->calls, std::vector<std::string>{"stop"});
    try {
        srv->restart();
    } catch (const Tavrel::Foundation::Exception& e) {
        EXPECT_THAT(e.to_string(), testing::HasSubstr("no second copy"));
        EXPECT_THAT(e.to_string(), testing::HasSubstr("PID 4242"));
    }
}

TEST_F(ServiceCore, StopSuspendsTheMonitorAndCleansOrphansOfADeadUnit) {
    auto srv = make({{"service", "stopsvc"}, {"doomed_rules", "stopsvcd"}, {"suspend_time", 300}});
    state_->status = "running";
    state_->unit = Tavrel::Init::UnitProperties{{"SubState", "dead"}};
    state_->on_stop = [&] {
        state_->status = "";
        return false;
    };
    EXPECT_TRUE(srv->stop());
    EXPECT_EQ(state_->calls, (std::vector<std::string>{"stop_triggers", "stop"}));
    auto suspensions = Tavrel::Server::Monitor::Suspension::load_service_suspensions();
    ASSERT_TRUE(suspensions);
    EXPECT_EQ(Tavrel::Server::Monitor::Suspension::is_service_suspended(&*suspensions, "stopsvc"), true);
    ASSERT_EQ(srv->doomed_calls.size(), 1u);
    EXPECT_EQ(srv->doomed_calls[0], std::vector<std::string>{"stopsvcd"});
    EXPECT_NE(log_text().find("orphaned processes of the service stopsvc"), std::string::npos);

    // An active unit is never searched for orphans; nor is a SysV service.
    srv->doomed_calls.clear();
    state_->unit = Tavrel::Init::UnitProperties{{"SubState", "running"}};
    srv->_terminate_orphaned_processes();
    state_->unit.reset();
    srv->_terminate_orphaned_processes();
    EXPECT_TRUE(srv->doomed_calls.empty());
}

// --- restart ----------------------------------------------------------------

TEST_F(ServiceCore, RestartOfARunningServiceStopsThenStarts) {
    auto srv = make();
    state_->status = "running 1";
    state_->on_stop = [&] {
        state_->status = "";
        return true;
    };
    state_->on_start = [&] {
        state_->status = "running 2";
        return true;
    };
    EXPECT_EQ(srv->restart(), "running 2");
    EXPECT_EQ(state_->calls, (std::vector<std::string>{"stop", "start"}));
    EXPECT_FALSE(srv->_called_from_restart());
}

TEST_F(ServiceCore, RestartOfAStoppedServiceStartsIt) {
    auto srv = make();
    state_->status = "";
    state_->on_start = [&] {
        state_->status = "up";
        return true;
    };
    EXPECT_EQ(srv->restart(), "up");
    EXPECT_EQ(srv->service_argv_action(), Tavrel::Service::Verb::Start);
    EXPECT_EQ(state_->calls, std::vector<std::string>{"start"});
}

// A TERM in the start of a restart that found the service down: the run
// ends only once the start has been tried (ending in it freed the run lock
// while the init script went on starting, and the next run started a second
// copy beside it).
TEST_F(ServiceCore, ATermInTheStartOfARestartWaitsForTheStart) {
    const std::string tried = tmp_ / "start-tried";
    const int status = Tavrel::TestSupport::in_child([&] {
        Tavrel::Service::RunSignals::install();
        auto srv = make();
        state_->status = "";
        state_->on_start = [&] {
            ::raise(SIGTERM);
            std::ofstream(tried) << "yes";
            state_->status = "up";
            return true;
        };
        srv->restart();
        return 0;
    });
    EXPECT_EQ(status, Tavrel::Service::RunSignals::TERM_EXIT_STATUS);
    EXPECT_TRUE(std::filesystem::exists(tried));
}

TEST_F(ServiceCore, RestartThroughTheBackendWhenTheClassHasRestartArgs) {
    auto srv = make({{"restart_args", json::array({"reload"})}});
    state_->status = "up";
    state_->restart_answer = true;
    EXPECT_EQ(srv->restart(), "up");
    EXPECT_EQ(state_->calls, std::vector<std::string>{"restart"});
    // A failing backend restart falls back to stop and start.
    state_->calls.clear();
    state_->restart_answer = false;
    state_->on_stop = [&] {
        state_->status = "";
        return true;
    };
    state_->on_start = [&] {
        state_->status = "up";
        return true;
    };
    EXPECT_EQ(srv->restart(), "up");
    EXPECT_EQ(state_->calls, (std::vector<std::string>{"restart", "stop", "start"}));
}

TEST_F(ServiceCore, RestartOfADisabledOrForbiddenRunningServiceStopsIt) {
    auto srv = make({{"is_enabled", false}});
    state_->status = "up";
    state_->on_stop = [&] {
        state_->status = "";
        return true;
    };
    EXPECT_EQ(failure_type([&] { srv->restart(); }), "Services::Disabled");
    EXPECT_EQ(state_->calls, (std::vector<std::string>{"stop_triggers", "stop"}));
    EXPECT_EQ(srv->service_argv_action(), Tavrel::Service::Verb::Stop);

    state_->calls.clear();
    state_->status = "up";
    auto forbidden = make();
    forbidden->role_off = true;
    EXPECT_EQ(failure_type([&] { forbidden->restart(); }), "Services::RoleNotAllowed");
    EXPECT_EQ(state_->calls, (std::vector<std::string>{"stop_triggers", "stop"}));

    // Disabled and not running: the sanity check says so, nothing is run.
    state_->calls.clear();
    auto stopped = make({{"is_enabled", false}});
    EXPECT_EQ(failure_type([&] { stopped->restart(); }), "Services::Disabled");
    EXPECT_TRUE(state_->calls.empty());
}

// A restart that could not start the program again must not stop the
// running service first.
TEST_F(ServiceCore, RestartOfARunningServiceWhoseProgramIsGoneStopsNothing) {
    auto srv = make({{"service_binary", (tmp_ / "removed-by-an-upgrade")}});
    state_->status = "up";
    EXPECT_EQ(failure_type([&] { srv->restart(); }), "Services::BinaryNotFound");
    EXPECT_TRUE(state_->calls.empty());
}

// systemd starts a masked unit for no one: stopping it first would leave
// the service down.
TEST_F(ServiceCore, RestartOfARunningServiceWhoseUnitIsMaskedStopsNothing) {
    auto srv = make();
    state_->status = "up";
    state_->start_blocker = "Its systemd unit svc.service is masked. To let it start: systemctl unmask svc.service";
    const std::string failure = failure_of([&] { srv->restart(); });
    EXPECT_THAT(failure, testing::StartsWith("Services::StartError: "));
    EXPECT_THAT(failure, testing::HasSubstr("systemctl unmask svc.service"));
    EXPECT_TRUE(state_->calls.empty());
    state_->start_blocker.clear();
    backend_acts();
    EXPECT_NE(srv->restart(), "");
}

TEST_F(ServiceCore, AStartTheInitSystemRefusesSaysHowToLiftIt) {
    auto srv = make();
    state_->status = "";
    state_->on_start = [] { return false; };
    state_->start_refusal_hint = "reset it";
    const std::string failure = failure_of([&] { srv->start(); });
    EXPECT_THAT(failure, testing::StartsWith("Services::StartError: "));
    EXPECT_THAT(failure, testing::HasSubstr("reset it"));
}

TEST_F(ServiceCore, ARunningServiceIsStoppedOnlyWhenItsConfigurationPassesItsTest) {
    std::string test = tmp_.write("configtest", "#!/bin/sh\n"
                                               "for i in 1 2 3 4 5 6 7 8 9 10 11; do echo noise $i; done\n"
                                               "echo 'bad directive at line 7' >&2\n"
                                               "exit 1\n");
    ::chmod(test.c_str(), 0755);
    auto srv = make({{"config_test", {test, "-t"}}});
    state_->status = "up";
    const std::string failure = failure_of([&] { srv->restart(false); });
    EXPECT_THAT(failure, testing::StartsWith("Services::RestartError: "));
    EXPECT_THAT(failure, testing::HasSubstr(test + " -t"));
    EXPECT_THAT(failure, testing::HasSubstr("bad directive at line 7"));
    EXPECT_THAT(failure, testing::HasSubstr("noise 11"));
    EXPECT_THAT(failure, testing::Not(testing::HasSubstr("noise 1\n")));  // only the last lines
    EXPECT_TRUE(state_->calls.empty()) << "nothing may be stopped";

    // A passing test, or one that cannot be run, lets the restart go on.
    tmp_.write("configtest", "#!/bin/sh\nexit 0\n");
    backend_acts();
    EXPECT_NE(make({{"config_test", {test}}})->restart(false), "");
    EXPECT_NE(make({{"config_test", {tmp_ / "no-such-test"}}})->restart(false), "");
    EXPECT_EQ(state_->calls, (std::vector<std::string>{"stop", "start", "stop", "start"}));

    // A stopped service is not tested: its start shows what is wrong.
    tmp_.write("configtest", "#!/bin/sh\nexit 1\n");
    state_->calls.clear();
    state_->status = "";
    state_->on_start = [this] {
        state_->status = "up";
        return true;
    };
    EXPECT_NE(make({{"config_test", {test}}})->restart(false), "");
    EXPECT_EQ(state_->calls, std::vector<std::string>{"start"});
}

TEST_F(ServiceCore, RestartVetoedByTheClass) {
    auto srv = make();
    state_->status = "up";
    srv->restart_check_answer = false;
    EXPECT_EQ(srv->restart(), "");
    EXPECT_TRUE(state_->calls.empty());
}

// --- reload -----------------------------------------------------------------

TEST_F(ServiceCore, Reload) {
    auto srv = make({{"support_reload", true}});
    state_->reload_answer = false;
    state_->status = "";
    EXPECT_TRUE(srv->reload());  // not running: nothing to reload
    EXPECT_TRUE(state_->calls.empty());
    EXPECT_THAT(srv->nothing_done(), testing::HasSubstr("is not running, so nothing was reloaded"));
    state_->status = "up";
    srv->set_nothing_done("");
    EXPECT_FALSE(srv->reload());
    EXPECT_EQ(srv->nothing_done(), "");
    EXPECT_EQ(state_->calls, std::vector<std::string>{"reload"});

    // A daemon that re-executes itself on reload is reloaded only once its
    // pid file names a live process again.
    std::string pidfile = tmp_ / "reloading.pid";
    auto with_pidfile =
        make({{"support_reload", true}, {"pidfile", pidfile}, {"startup_timeout", 2}});
    state_->reload_answer = true;
    auto child = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tvreload"), "30"});
    std::thread rewriter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        tmp_.write("reloading.pid", std::to_string(child.pid()) + "\n");
    });
    EXPECT_TRUE(with_pidfile->reload());
    rewriter.join();
    tmp_.write("reloading.pid", "garbage\n");
    with_pidfile->set_startup_timeout(0.2);
    EXPECT_FALSE(with_pidfile->reload());  // never came back

    auto without = make();
    EXPECT_TRUE(without->reload());
    EXPECT_THAT(without->nothing_done(), testing::HasSubstr("cannot reload its configuration"));
    auto disabled = make({{"is_enabled", false}, {"support_reload", true}});
    EXPECT_EQ(failure_type([&] { disabled->reload(); }), "Services::Disabled");
}

// --- Reporting ----------------------------------------------------------------

TEST_F(ServiceCore, DebugLinesAreTimedAndOnlyAtVerbosityTwo) {
    auto srv = make({{"verbose", 1}});
    srv->debug("quiet line");
    srv->set_verbose(2);
    srv->debug("loud line");
    srv->info("info line");
    std::string log = log_text();
    EXPECT_EQ(log.find("quiet line"), std::string::npos);
    EXPECT_NE(log.find("] loud line"), std::string::npos);
    EXPECT_NE(log.find("] info line"), std::string::npos);
    srv->set_disable_output_partial(true);
    srv->output_partial("fragment");
    EXPECT_EQ(out_.text.find("fragment"), std::string::npos);
}

TEST_F(ServiceCore, UnitCommandRunsUseTheInitScriptBackend) {
    auto srv = Tavrel::Service::Base::create<Svc>({{"service", "unitcmd"}});
    srv->set_run_options({.systemd_unit_command = true});
    Tavrel::Init::Backend& backend = srv->service_manager();
    EXPECT_EQ(backend.class_name(), "Tavrel::ServiceManager::Manager::Initd");
    EXPECT_TRUE(backend.this_process_was_executed_by_systemd());
}

// Whether init started the run is what the run's options say, decided once
// by the entry program; the test's own parent plays no part.
TEST_F(ServiceCore, ARunStartedByInitTakesNoLockAndLeavesSystemctlAlone) {
    Svc::TAKE_LOCK = true;
    auto built = [](bool started_by_init) {
        auto srv = std::make_unique<Svc>();
        srv->apply_options({{"service", "initrun"}}, true);
        srv->set_run_options({.started_by_init = started_by_init});
        srv->BUILD();
        return srv;
    };
    auto by_init = built(true);
    EXPECT_EQ(by_init->lock(), nullptr);
    EXPECT_EQ(by_init->service_manager().class_name(), "Tavrel::ServiceManager::Manager::Initd");
    EXPECT_TRUE(by_init->service_manager().this_process_was_executed_by_systemd());
    by_init.reset();

    auto by_shell = built(false);
    if (::geteuid() == 0) {
        EXPECT_NE(by_shell->lock(), nullptr);
    }
    EXPECT_FALSE(by_shell->service_manager().this_process_was_executed_by_systemd());
}

}  // namespace
