// The SysV backend against real init scripts and real daemons. Runs only
// inside a sandbox (tests/e2e/checks/sysv-backend sets ZIDAVOVEVA_E2E=sysv,
// or systemd for the systemd sandbox), where the Debian packages are
// installed in the sandbox's overlay; anywhere else every test skips.
//
// Environment: TESTD is zidavoveva_testd, TESTD_TEMPLATES the folder of its
// init script and unit file.
#include "Tavrel/Process/Kill.h"
#include "Tavrel/Process/Kill/Target.h"
#include "Tavrel/Run/SafeRun/Simple.h"
#include "Tavrel/Init/SysV/Backend.h"
#include "Tavrel/Init/SysV/Startup.h"
#include "Tavrel/Init/SysV/StartupLog.h"
#include "testsupport/FakeService.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using Tavrel::Init::SysV::Backend;
using Tavrel::TestSupport::FakeService;
using Tavrel::TestSupport::TempDir;

std::string mode() {
    const char* m = std::getenv("ZIDAVOVEVA_E2E");
    return m ? m : "";
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::trunc) << text;
    ::chmod(path.c_str(), mode);
}

std::optional<pid_t> pid_in(const std::string& pidfile) {
    std::string text = read_file(pidfile);
    if (text.empty())
        return std::nullopt;
    return static_cast<pid_t>(std::stol(text));
}

bool alive(pid_t pid) {
    return pid > 1 && Tavrel::Process::Kill::Target::open(pid).alive();
}

// Waits up to `seconds` for `what`.
template <class F>
bool eventually(F what, double seconds = 5) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!what()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string exe_of(pid_t pid) {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
}

class SysvTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (mode() != "sysv")
            GTEST_SKIP() << "runs only inside the SysV sandbox (tests/e2e/checks/sysv-backend)";
        Backend::PIDFILE_WAIT_TIME = 10;
    }
};

// One daemon driven through its Debian init script: start, reload, stop.
void drive_init_script(const std::string& service, const std::string& pidfile,
                       const std::string& exe_pattern, bool has_reload = true) {
    SCOPED_TRACE(service);
    FakeService svc;
    svc.name = service;
    svc.pid_file = pidfile;
    svc.exe_pattern = exe_pattern;
    Backend backend({.service = service});
    ASSERT_EQ(backend.init_script(), "/etc/init.d/" + service);

    ASSERT_TRUE(backend.start(svc)) << Tavrel::Init::SysV::fetch_startup_log(service).value_or("");
    // A daemon may write its pid file before it forks (cron does) and again
    // after: wait until it names the running daemon.
    const std::string program = exe_pattern.substr(0, exe_pattern.size() - 1);
    ASSERT_TRUE(eventually([&] {
        auto pid = pid_in(pidfile);
        return pid && alive(*pid) && exe_of(*pid) == program;
    }));
    const pid_t pid = *pid_in(pidfile);

    // A script without a reload action fails it, and so does the backend.
    EXPECT_EQ(backend.reload(svc), std::optional<bool>(has_reload))
        << Tavrel::Init::SysV::fetch_startup_log(service).value_or("");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(alive(pid)) << "a reload keeps the daemon";

    svc.infos.clear();
    EXPECT_TRUE(backend.stop(svc));
    EXPECT_TRUE(eventually([&] { return !alive(pid); }));
    EXPECT_TRUE(svc.infos.empty()) << svc.infos.front();
}

TEST_F(SysvTest, CronThroughItsInitScript) {
    drive_init_script("cron", "/run/crond.pid", "/usr/sbin/cron$");
}

TEST_F(SysvTest, SshThroughItsInitScript) {
    drive_init_script("ssh", "/run/sshd.pid", "/usr/sbin/sshd$");
}

TEST_F(SysvTest, NscdThroughItsInitScript) {
    drive_init_script("nscd", "/run/nscd/nscd.pid", "/usr/sbin/nscd$", false);
}

// rsyslog has no init script on Debian 12: its binary is launched directly.
TEST_F(SysvTest, RsyslogByItsBinary) {
    ASSERT_FALSE(std::filesystem::exists("/etc/init.d/rsyslog"));
    FakeService svc;
    svc.name = "rsyslog";
    svc.binary = "/usr/sbin/rsyslogd";
    svc.pid_file = "/run/rsyslogd.pid";
    svc.exe_pattern = "/rsyslogd$";
    Backend backend({.service = "rsyslog"});
    EXPECT_EQ(backend.init_script(), "");

    ASSERT_TRUE(backend.start(svc)) << Tavrel::Init::SysV::fetch_startup_log("rsyslog").value_or("");
    ASSERT_TRUE(eventually([&] { return pid_in(svc.pid_file).has_value(); }));
    const pid_t pid = *pid_in(svc.pid_file);
    EXPECT_TRUE(alive(pid));
    // Nothing to reload without a script.
    EXPECT_EQ(backend.reload(svc), std::optional<bool>(true));

    EXPECT_TRUE(backend.stop(svc));
    EXPECT_TRUE(FakeService::any_has(svc.debugs, "stopped by its pid file"));
    EXPECT_FALSE(alive(pid));
}

// The project's test daemon, installed with its init script.
class TestdTest : public SysvTest {
  protected:
    static constexpr const char* PIDFILE = "/run/zidavoveva-testd.pid";
    static constexpr const char* RECORD = "/run/zidavoveva-testd.record";
    static constexpr const char* CONFIG = "/etc/zidavoveva-testd.conf";

    void SetUp() override {
        SysvTest::SetUp();
        if (IsSkipped())
            return;
        const std::string script = read_file(env("TESTD_TEMPLATES") + "/zidavoveva-testd.init");
        ASSERT_FALSE(script.empty());
        std::string installed = script;
        for (auto at = installed.find("@TESTD@"); at != std::string::npos;
             at = installed.find("@TESTD@"))
            installed.replace(at, 7, env("TESTD"));
        write_file("/etc/init.d/zidavoveva-testd", installed, 0755);
        write_file("/etc/default/zidavoveva-testd",
                   std::string("ZIDAVOVEVA_TESTD_CONFIG=") + CONFIG + "\n");
        configure("");
        std::filesystem::remove(RECORD);
        svc.name = "zidavoveva-testd";
        svc.pid_file = PIDFILE;
    }
    void TearDown() override {
        if (auto pid = pid_in(PIDFILE); pid && alive(*pid))
            ::kill(*pid, SIGKILL);
        std::filesystem::remove(PIDFILE);
    }
    void configure(const std::string& lines) {
        write_file(CONFIG, "record=" + std::string(RECORD) + "\n" + lines);
    }
    std::vector<std::string> events() {
        std::vector<std::string> out;
        std::istringstream in(read_file(RECORD));
        std::string time, pid, event;
        // What the daemon did; not the launchers it forks through on its way
        // to the background.
        while (in >> time >> pid >> event)
            if (event != "launch")
                out.push_back(event);
        return out;
    }

    FakeService svc;
};

TEST_F(TestdTest, TheStartupLogHoldsExactlyTheFailedStart) {
    Backend backend({.service = "zidavoveva-testd"});
    ASSERT_TRUE(backend.start(svc));
    EXPECT_TRUE(backend.stop(svc));
    configure("fail=cannot parse the configuration at line 3\nexit-code=4\n");
    EXPECT_FALSE(backend.start(svc));
    EXPECT_EQ(Tavrel::Init::SysV::fetch_startup_log("zidavoveva-testd").value_or(""),
              "zidavoveva-testd: starting\ncannot parse the configuration at line 3\n");
    EXPECT_TRUE(FakeService::any_has(svc.warns, "/etc/init.d/zidavoveva-testd start"));
    EXPECT_EQ(events(), (std::vector<std::string>{"start", "stop"}));
}

TEST_F(TestdTest, StopThenStartKeepsTheOrderAndReloadReachesTheDaemon) {
    Backend backend({.service = "zidavoveva-testd"});
    ASSERT_TRUE(backend.start(svc));
    ASSERT_TRUE(eventually([&] { return pid_in(PIDFILE).has_value(); }));
    EXPECT_EQ(backend.reload(svc), std::optional<bool>(true));
    ASSERT_TRUE(eventually([&] { return events().size() == 2; }));
    EXPECT_TRUE(backend.stop(svc));
    ASSERT_TRUE(backend.start(svc));
    EXPECT_TRUE(backend.stop(svc));
    EXPECT_EQ(events(), (std::vector<std::string>{"start", "reload", "stop", "start", "stop"}));
}

TEST_F(TestdTest, PidExeMustMatchTheRecordedProcess) {
    // The daemon runs, but its init script cannot stop it: only the pid file can.
    Backend start_only({.service = "zidavoveva-testd"});
    ASSERT_TRUE(start_only.start(svc));
    ASSERT_TRUE(eventually([&] { return pid_in(PIDFILE).has_value(); }));
    const pid_t pid = *pid_in(PIDFILE);
    Backend by_pid({.service = "zidavoveva-testd", .init_script = ""});

    svc.exe_pattern = "/usr/sbin/apache2$";
    EXPECT_TRUE(by_pid.stop(svc));
    EXPECT_TRUE(alive(pid));
    EXPECT_TRUE(FakeService::any_has(svc.warns, "not the service's program"));

    svc.exe_pattern = "/zidavoveva_testd$";
    EXPECT_TRUE(by_pid.stop(svc));
    EXPECT_FALSE(alive(pid));
    EXPECT_EQ(events(), (std::vector<std::string>{"start", "stop"}));
}

TEST_F(TestdTest, ADaemonWhoseBinaryWasReplaced) {
    TempDir tmp;
    const std::string copy = tmp / "zidavoveva_testd";
    std::filesystem::copy_file(env("TESTD"), copy);
    ::chmod(copy.c_str(), 0755);
    // No init script: the binary is launched directly, and daemonizes.
    svc.binary = copy;
    svc.start_args = std::vector<std::string>{"--daemonize", "--pidfile", PIDFILE, "--record",
                                              RECORD};
    Backend backend({.service = "zidavoveva-testd", .init_script = ""});
    ASSERT_TRUE(backend.start(svc));
    ASSERT_TRUE(eventually([&] { return pid_in(PIDFILE).has_value(); }));
    const pid_t pid = *pid_in(PIDFILE);
    std::filesystem::remove(copy);
    EXPECT_NE(exe_of(pid).find("(deleted)"), std::string::npos) << exe_of(pid);

    svc.exe_pattern = "/zidavoveva_testd$";
    EXPECT_TRUE(backend.stop(svc));
    EXPECT_FALSE(alive(pid));
}

TEST_F(TestdTest, ADaemonThatIgnoresTerm) {
    Backend::PIDFILE_WAIT_TIME = 1;
    configure("ignore-term\n");
    Backend backend({.service = "zidavoveva-testd"});
    ASSERT_TRUE(backend.start(svc));
    ASSERT_TRUE(eventually([&] { return pid_in(PIDFILE).has_value(); }));
    const pid_t pid = *pid_in(PIDFILE);
    svc.exe_pattern = "/zidavoveva_testd$";
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(backend.stop(svc));
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    // The init script's own wait (2 s), the shortened pid-file wait, then KILL.
    EXPECT_LT(took, 6);
    EXPECT_TRUE(eventually([&] { return !alive(pid); }));
    EXPECT_TRUE(FakeService::any_has(svc.warns, "gets SIGKILL"));
    EXPECT_FALSE(FakeService::any_has(svc.infos, "Nothing could be confirmed"));
}

TEST_F(TestdTest, APidFileNamingADeadOrForeignProcess) {
    Backend backend({.service = "zidavoveva-testd", .init_script = ""});
    svc.exe_pattern = "/zidavoveva_testd$";

    pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    write_file(PIDFILE, std::to_string(dead) + "\n");
    EXPECT_TRUE(backend.stop(svc));
    EXPECT_TRUE(FakeService::any_has(svc.debugs, "not running"));
    EXPECT_TRUE(FakeService::any_has(svc.infos, "Nothing could be confirmed"));

    // A pid reused by some other program is left alone.
    pid_t foreign = ::fork();
    if (foreign == 0) {
        ::execl("/bin/sleep", "sleep", "30", nullptr);
        ::_exit(127);
    }
    ASSERT_TRUE(eventually([&] { return exe_of(foreign).find("sleep") != std::string::npos; }));
    write_file(PIDFILE, std::to_string(foreign) + "\n");
    EXPECT_TRUE(backend.stop(svc));
    EXPECT_TRUE(alive(foreign));
    ::kill(foreign, SIGKILL);
    ::waitpid(foreign, nullptr, 0);
}

// On a host run by systemd, Debian's init scripts hand over to systemctl
// (the init-functions hook), unless their parent is process 1. The backend
// then reports what systemctl reported, and systemd owns the daemon.
TEST(SystemdHandoverTest, DebianInitScriptsHandOverToSystemctl) {
    if (mode() != "systemd")
        GTEST_SKIP() << "runs only inside the systemd sandbox (tests/e2e/checks/sysv-backend)";
    using Tavrel::Run::SafeRun::Simple::saferun;
    auto active = [] {
        std::string state = saferun({"/bin/systemctl", "is-active", "cron.service"});
        return state.substr(0, state.find('\n'));
    };
    saferun({"/bin/systemctl", "daemon-reload"});
    ASSERT_EQ(active(), "inactive");

    FakeService svc;
    svc.name = "cron";
    svc.pid_file = "/run/crond.pid";
    Backend backend({.service = "cron", .init_script = "/etc/init.d/cron"});
    EXPECT_TRUE(backend.start(svc));
    // The file itself: under systemd the startup log shown to users is the
    // unit's journal excerpt instead.
    const std::string log_file = Tavrel::Init::SysV::StartupLog::startup_log_path("cron");
    const std::string log = read_file(log_file);
    std::cout << "start through the init script, startup log:\n" << log;
    EXPECT_NE(log.find("(via systemctl)"), std::string::npos);
    EXPECT_EQ(active(), "active");
    // The daemon runs under systemd, not as a child of this run.
    const std::string main_pid =
        saferun({"/bin/systemctl", "show", "-p", "MainPID", "--value", "cron.service"});
    EXPECT_NE(main_pid.substr(0, main_pid.find('\n')), "0");

    EXPECT_EQ(backend.reload(svc), std::optional<bool>(true));
    EXPECT_TRUE(backend.stop(svc));
    std::cout << "after stop, startup log:\n" << read_file(log_file);
    EXPECT_EQ(active(), "inactive");
}

// Run by systemd as the ExecStart of the unit below: its parent is process 1
// and the unit is usable, so the launcher must become the daemon itself.
TEST(ExecInPlaceProbe, Run) {
    if (mode() != "exec-probe")
        GTEST_SKIP() << "run by systemd as a unit's command";
    // As the entry program decides it: the parent is process 1.
    Tavrel::Init::SysV::logged_startup(
        "tvexec", true, {env("TESTD"), "--name", "tvexec", "--record", "/run/tvexec.record"},
        {.started_by_init = ::getppid() == 1});
    FAIL() << "the launcher returned instead of becoming the daemon";
}

TEST(SystemdHandoverTest, StartedByInitTheLauncherBecomesTheDaemon) {
    if (mode() != "systemd")
        GTEST_SKIP() << "runs only inside the systemd sandbox (tests/e2e/checks/sysv-backend)";
    using Tavrel::Run::SafeRun::Simple::saferun;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    write_file("/etc/systemd/system/tvexec.service",
               "[Service]\nType=simple\n"
               "Environment=ZIDAVOVEVA_E2E=exec-probe TESTD=" + env("TESTD") + "\n"
               "ExecStart=" + self + " --gtest_filter=ExecInPlaceProbe.Run\n");
    saferun({"/bin/systemctl", "daemon-reload"});
    saferun({"/bin/systemctl", "start", "tvexec.service"});

    // The unit's main process is the daemon, under the pid systemd started.
    std::string record;
    ASSERT_TRUE(eventually([&] {
        record = read_file("/run/tvexec.record");
        return !record.empty();
    })) << saferun({"/bin/systemctl", "status", "tvexec.service"});
    std::string main_pid =
        saferun({"/bin/systemctl", "show", "-p", "MainPID", "--value", "tvexec.service"});
    main_pid = main_pid.substr(0, main_pid.find('\n'));
    std::istringstream fields(record);
    std::string time, pid, event;
    fields >> time >> pid >> event;
    EXPECT_EQ(event, "start");
    EXPECT_EQ(pid, main_pid) << "the daemon is the process systemd started";
    EXPECT_EQ(exe_of(std::stoi(main_pid)), env("TESTD"));

    saferun({"/bin/systemctl", "stop", "tvexec.service"});
    EXPECT_TRUE(eventually([&] { return read_file("/run/tvexec.record").find(" stop") !=
                                        std::string::npos; }));
}

}  // namespace
