// check_service against a real systemd (skipped outside the sandbox; run by
// tests/e2e/checks/systemd-backend with the other SystemdSandbox* tests).
#include "Tavrel/Init/CheckService.h"

#include "Tavrel/Init/Systemd/Systemctl.h"
#include "testsupport/SystemdSandbox.h"
#include "testsupport/TempDir.h"
#include "testsupport/TestChild.h"

#include <gtest/gtest.h>

namespace Box = Tavrel::TestSupport::SystemdSandbox;
using Tavrel::Init::check_service;
using Tavrel::Init::CheckServiceOptions;

namespace {

class SystemdSandboxCheckService : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!Box::inside())
            return;
        Box::write_unit("tvck-oneshot.service",
                        "[Service]\nType=oneshot\nRemainAfterExit=yes\nExecStart=/bin/true\n");
        Box::write_unit("tvck-simple.service", "[Service]\nExecStart=/bin/sleep 1010\n");
        // Forks away and leaves no pid file: systemd knows no main pid.
        Box::write_unit("tvck-forking.service",
                        "[Service]\nType=forking\nGuessMainPID=no\n"
                        "ExecStart=/bin/sh -c '/bin/sleep 1011 &'\n");
        Box::write_unit("tvck-stopped.service", "[Service]\nExecStart=/bin/sleep 1012\n");
        ASSERT_EQ(Box::systemctl({"daemon-reload"}), 0);
        ASSERT_EQ(Box::systemctl({"start", "tvck-oneshot.service", "tvck-simple.service",
                                  "tvck-forking.service"}),
                  0);
    }
    void SetUp() override {
        if (!Box::inside())
            GTEST_SKIP() << Box::WHY_SKIPPED;
    }
    static CheckServiceOptions options(const std::string& service) {
        CheckServiceOptions o;
        o.service = service;
        return o;
    }
};

}  // namespace

TEST_F(SystemdSandboxCheckService, ActiveOneshotUnitRunsWithoutAPid) {
    EXPECT_EQ(check_service(options("tvck-oneshot")), "tvck-oneshot is running (systemd check)");
}

TEST_F(SystemdSandboxCheckService, MainPidConfirmedThroughProc) {
    auto pid = Tavrel::Init::Systemd::Systemctl::get_pid_via_systemd("tvck-simple");
    ASSERT_TRUE(pid);
    EXPECT_EQ(check_service(options("tvck-simple")),
              "tvck-simple (/bin/sleep 1010) is running as root with PID " +
                  std::to_string(*pid) + " (systemd+proc check)");
}

TEST_F(SystemdSandboxCheckService, ForkingUnitWithoutMainPidUsesItsControlGroup) {
    std::string status = check_service(options("tvck-forking"));
    EXPECT_NE(status.find("(/bin/sleep 1011) is running as root with PID "), std::string::npos)
        << status;
    EXPECT_NE(status.find("(systemd+proc check)"), std::string::npos) << status;
}

TEST_F(SystemdSandboxCheckService, StoppedUnitIsNotRunningWhateverThePidFileSays) {
    Tavrel::TestSupport::TempDir tmp;
    auto other = Tavrel::TestSupport::TestChild::spawn("/bin/sleep", {"tvck-stopped", "30"});
    auto o = options("tvck-stopped");
    o.pidfile = tmp.write("pid", std::to_string(other.pid()) + "\n");
    EXPECT_EQ(check_service(o), "");
    // Told to leave systemd out, the pid file decides (its process runs as
    // the service's account).
    o.ignore_systemd = true;
    o.user = "root";
    EXPECT_NE(check_service(o).find("(pidfile+proc check)"), std::string::npos);
}
