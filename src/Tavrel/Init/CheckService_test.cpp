#include "Tavrel/Init/CheckService.h"

#include "Tavrel/Process/Proc/PID.h"
#include "testsupport/InChild.h"
#include "testsupport/TempDir.h"
#include "testsupport/TestChild.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using Tavrel::TestSupport::TempDir;
using namespace Tavrel::TestSupport::TestChild;
using Tavrel::Init::check_service;
using Tavrel::Init::CheckServiceOptions;

std::string me() {
    return ::geteuid() == 0 ? "root" : std::to_string(::geteuid());
}

class CheckServiceTest : public ::testing::Test {
  protected:
    CheckServiceOptions options(const std::string& service) {
        CheckServiceOptions o;
        o.service = service;
        o.ignore_systemd = true;
        return o;
    }
    std::string pidfile(pid_t pid, const std::string& extra = "\n") {
        return tmp_.write("svc.pid", std::to_string(pid) + extra);
    }
    TempDir tmp_;
};

TEST_F(CheckServiceTest, PidFileOfARunningProcessGivesTheStatusLine) {
    std::string name = unique_name("svcdaemon");
    auto child = spawn("/bin/sleep", {name, "30"});
    auto o = options(name);
    o.user = me();
    o.pidfile = pidfile(child.pid(), "\nrest\n");
    EXPECT_EQ(check_service(o), name + " (" + name + " 30) is running as " + me() + " with PID " +
                                    std::to_string(child.pid()) + " (pidfile+proc check)");
}

// A daemon killed with -9 leaves its pid file; another account's process
// takes the pid. That process is not the service, whatever it runs.
TEST_F(CheckServiceTest, APidFileNamingAnotherAccountsProcessIsNotTheService) {
    std::string name = unique_name("svcdaemon");
    auto child = spawn("/bin/sleep", {"other", "30"});
    auto o = options(name);
    o.user = ::geteuid() == 0 ? "nobody" : "root";
    o.pidfile = pidfile(child.pid());
    EXPECT_EQ(check_service(o), "");
    // Its program shows it is the service's, whoever it runs as.
    o.binary = "/bin/sleep";
    EXPECT_NE(check_service(o).find("(pidfile+proc check)"), std::string::npos);
}

// Whatever sits at the pid file's path answers at once: a FIFO does not hang
// the check, a link to /dev/zero is not read at all.
TEST_F(CheckServiceTest, AFifoOrALinkAtThePidFilesPathAnswersAtOnce) {
    std::string name = unique_name("svcdaemon");
    auto o = options(name);
    o.user = me();
    o.pidfile = tmp_ / "fifo.pid";
    ASSERT_EQ(::mkfifo(o.pidfile.c_str(), 0600), 0);
    EXPECT_EQ(check_service(o), "");
    o.pidfile = tmp_ / "zero.pid";
    ASSERT_EQ(::symlink("/dev/zero", o.pidfile.c_str()), 0);
    EXPECT_EQ(check_service(o), "");
}

// Another process's command line may hold terminal escapes.
TEST_F(CheckServiceTest, ControlCharactersOfTheCommandLineAreNotShownRaw) {
    std::string name = unique_name("svcdaemon");
    auto child = spawn("/bin/sleep", {name + "\x1b[2J\x1b]0;x\x07", "30"});
    auto o = options(name);
    o.user = me();
    o.pidfile = pidfile(child.pid());
    const std::string status = check_service(o);
    EXPECT_EQ(status.find('\x1b'), std::string::npos) << status;
    EXPECT_NE(status.find(name + "\\x1b[2J\\x1b]0;x\\x07 30"), std::string::npos) << status;
}

TEST_F(CheckServiceTest, GivenPidWinsOverThePidFile) {
    std::string name = unique_name("svcdaemon");
    auto a = spawn("/bin/sleep", {name, "30"});
    auto b = spawn("/bin/sleep", {name, "31"});
    auto o = options(name);
    o.pidfile = pidfile(a.pid());
    o.pid = b.pid();
    o.check_method = "port";
    std::string status = check_service(o);
    EXPECT_NE(status.find("with PID " + std::to_string(b.pid()) + " (port+proc check)"),
              std::string::npos)
        << status;
    o.check_method.clear();
    EXPECT_NE(check_service(o).find("(proc check)"), std::string::npos);
}

TEST_F(CheckServiceTest, EndedProcessesAreNotRunning) {
    std::string name = unique_name("svcdaemon");
    auto o = options(name);

    // A pid file left by a process that has gone.
    pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    o.pidfile = pidfile(gone);
    EXPECT_EQ(check_service(o), "");

    // A zombie has ended even though /proc still lists it.
    pid_t zombie = ::fork();
    if (zombie == 0)
        ::_exit(0);
    for (int i = 0; i < 400; ++i) {
        try {
            if (Tavrel::Process::Proc::PID(zombie).state() == 'Z')
                break;
        } catch (...) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    o.pidfile = pidfile(zombie);
    EXPECT_EQ(check_service(o), "");
    o.pidfile.clear();
    o.pid = zombie;
    EXPECT_EQ(check_service(o), "");
    ::waitpid(zombie, nullptr, 0);
}

TEST_F(CheckServiceTest, UntrustedPidsFallToTheProcessTable) {
    std::string name = unique_name("svcdaemon");
    auto o = options(name);
    // Pid 1 and pid 0 never stand for a service; nothing else named so runs.
    for (const char* text : {"1\n", "0\n", "-1\n", "garbage\n"}) {
        o.pidfile = tmp_.write("svc.pid", text);
        EXPECT_EQ(check_service(o), "") << text;
    }
    o.pidfile = tmp_ / "missing.pid";
    EXPECT_EQ(check_service(o), "");

    auto child = spawn("/bin/sleep", {name, "30"});
    o.pidfile = tmp_.write("svc.pid", "1\n");
    EXPECT_NE(check_service(o).find("with PID " + std::to_string(child.pid()) +
                                    " (process table check)"),
              std::string::npos);
}

TEST_F(CheckServiceTest, CommandThatOnlyMentionsTheServiceIsNotIt) {
    std::string name = unique_name("svcdaemon");
    // An init script run for the service carries its name without being it.
    auto script = spawn("/bin/sleep", {"/etc/init.d/" + name, "30"});
    auto o = options(name);
    o.user = me();
    o.pidfile = pidfile(script.pid());
    EXPECT_EQ(check_service(o), "");

    // The validator refuses it too; the process table then finds the daemon.
    auto daemon = spawn("/bin/sleep", {name, "30"});
    std::string status = check_service(o);
    EXPECT_NE(status.find("with PID " + std::to_string(daemon.pid()) + " (process table check)"),
              std::string::npos)
        << status;
}

TEST_F(CheckServiceTest, ThePidFilesProcessRunningTheServicesProgramIsItWhateverItsName) {
    // A daemon whose command line reads like this tool's own (or like a
    // start/stop script) is still the service when it runs the service's
    // program.
    std::string name = unique_name("svcdaemon");
    for (const std::string& argv0 : {"/usr/local/sbin/zidavoveva_" + name, "/opt/x/start" + name}) {
        auto daemon = spawn("/bin/sleep", {argv0, "30"});
        auto o = options(name);
        o.pidfile = pidfile(daemon.pid());
        EXPECT_EQ(check_service(o), "") << argv0;
        o.binary = "/bin/sleep";  // a link on merged-/usr systems: resolved
        EXPECT_NE(check_service(o).find("with PID " + std::to_string(daemon.pid()) +
                                        " (pidfile+proc check)"),
                  std::string::npos)
            << argv0;
        // Another program named by the pid file is not taken for it.
        o.binary = "/bin/true";
        EXPECT_EQ(check_service(o), "") << argv0;
    }
}

TEST_F(CheckServiceTest, ProcessTableHonoursOwnerAndCommandLinePattern) {
    std::string name = unique_name("svcdaemon");
    auto daemon = spawn("/bin/sleep", {name, "30"});
    auto o = options(name);
    EXPECT_NE(check_service(o).find(std::to_string(daemon.pid())), std::string::npos);
    o.user = "no-such-account-here";
    EXPECT_EQ(check_service(o), "");
    o.user = ::geteuid() == 0 ? "nobody" : "root";
    EXPECT_EQ(check_service(o), "");

    o.user.clear();
    o.service = "other-word";
    o.command_line_regex = "^" + name + R"( \d+$)";
    std::string status = check_service(o);
    EXPECT_EQ(status.rfind("other-word (" + name + " 30) is running", 0), 0u) << status;
    o.command_line_regex = "^" + name + " 99$";
    EXPECT_EQ(check_service(o), "");
}

// A daemon hands work to processes of its program titled as something else
// (a cron job, an SSH session); they outlive its stop. Where the daemon names
// its main process in a pid file, they are not the daemon running; a process
// titled as the service or its program still is (an init script that never
// writes the pid file). The stop ends or names what this finds.
// Whether PARENT has, within two seconds, a child whose title starts with
// TITLE.
bool has_child_titled(pid_t parent, const std::string& title) {
    const std::string children = "/proc/" + std::to_string(parent) + "/task/" +
                                 std::to_string(parent) + "/children";
    for (int tries = 0; tries < 200; ++tries) {
        std::ifstream list(children);
        for (pid_t child = 0; list >> child;) {
            std::ifstream cmdline("/proc/" + std::to_string(child) + "/cmdline");
            std::string argv0;
            std::getline(cmdline, argv0, '\0');
            if (argv0 == title)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST_F(CheckServiceTest, WithAPidFileOnlyProcessesTitledAsTheirProgramAreTheService) {
    std::string name = unique_name("svcdaemon");
    auto helper = spawn("/bin/sleep", {name + ":", "30"});
    auto o = options(name);
    o.binary = "/bin/sleep";
    EXPECT_NE(check_service(o).find("PID " + std::to_string(helper.pid())), std::string::npos);
    o.pidfile = tmp_ / "missing.pid";
    EXPECT_EQ(check_service(o), "");
    EXPECT_TRUE(Tavrel::Init::process_table_pids(o).empty());

    // Another program under the service's name (the SSH client beside the
    // SSH server), and another instance of the program, told to write a pid
    // file of its own.
    // Their own children are titled apart from the program: a plain "sleep"
    // child would be a process of it titled as it, which is the service.
    // Until its child has become "waiting", a copy of the shell is caught
    // between its fork and its exec, titled as the service and, for an
    // instant, already the program: wait for the titles to settle.
    const std::string wait_apart = "(exec -a waiting sleep 30) & wait; :";
    auto client = spawn("/bin/bash", {name, "-c", wait_apart});
    ASSERT_TRUE(has_child_titled(client.pid(), "waiting"));
    EXPECT_EQ(check_service(o), "");
    o.binary = "/bin/bash";
    auto instance = spawn("/bin/bash", {name, "-c", wait_apart, "/run/" + name + "-second.pid"});
    ASSERT_TRUE(has_child_titled(instance.pid(), "waiting"));
    EXPECT_EQ(Tavrel::Init::process_table_pids(o), std::vector<pid_t>{client.pid()});
    o.binary = "/bin/sleep";

    auto daemon = spawn("/bin/sleep", {name, "30"});
    EXPECT_NE(check_service(o).find("PID " + std::to_string(daemon.pid()) + " (process table check)"),
              std::string::npos);
    EXPECT_EQ(Tavrel::Init::process_table_pids(o), std::vector<pid_t>{daemon.pid()});
}

}  // namespace

// A pid file the daemon keeps from other accounts (0600, as MariaDB's 0660):
// to an account other than root the daemon is found in the process table by
// its program, owned by its account; the service's word names no process.
TEST_F(CheckServiceTest, APidFileHiddenFromTheCallerLeavesItToTheDaemonsProgram) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the daemon is root's and the check runs as nobody";
    ASSERT_EQ(::chmod(tmp_.path().c_str(), 0755), 0);
    const std::string program = tmp_ / unique_name("zhid");
    std::filesystem::copy_file("/bin/sleep", program);
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    auto daemon = spawn(program, {program, "30"});
    const std::string file = pidfile(daemon.pid());
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);

    auto o = options("zhidden");
    o.pidfile = file;
    o.user = "root";
    o.binary = program;
    EXPECT_NE(check_service(o).find("PID " + std::to_string(daemon.pid())), std::string::npos);
    const std::string seen = Tavrel::TestSupport::text_from_child([&] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            return std::string("cannot drop to nobody");
        return check_service(o);
    });
    EXPECT_NE(seen.find("zhidden ("), std::string::npos) << seen;
    EXPECT_NE(seen.find("PID " + std::to_string(daemon.pid())), std::string::npos) << seen;
    // A pid file in a folder the caller may not search is not known to be
    // there: the program's process may be another instance's (the mail
    // server's alternate port has a pid file of its own, absent while the
    // main instance runs). The service's word names no process.
    ASSERT_EQ(::mkdir((tmp_ / "private").c_str(), 0700), 0);
    o.pidfile = tmp_ / "private/second.pid";
    EXPECT_EQ(Tavrel::TestSupport::text_from_child([&] {
                  if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                      return std::string("cannot drop to nobody");
                  return check_service(o);
              }),
              "");
    o.pidfile = file;
    // Another account's copy of the program is not the service's.
    o.user = "nobody";
    EXPECT_EQ(Tavrel::TestSupport::text_from_child([&] {
                  if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                      return std::string("cannot drop to nobody");
                  return check_service(o);
              }),
              "");
}
