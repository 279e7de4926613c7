#include "Tavrel/Process/PidFile/Judge.h"

#include "testsupport/InChild.h"
#include "testsupport/TempDir.h"
#include "testsupport/TestChild.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>

namespace {

namespace Judge = Tavrel::Process::PidFile::Judge;
using Judge::Outcome;
using Tavrel::TestSupport::TempDir;
namespace TestChild = Tavrel::TestSupport::TestChild;

const std::string ME = std::to_string(::geteuid());

TEST(PidFileJudge, TheServicesOwnProcessByOwnerOrProgram) {
    TempDir dir;
    auto child = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tvjudge"), "30"});
    const std::string file = dir.write("svc.pid", std::to_string(child.pid()) + "\n");

    auto verdict = Judge::judge(file, {.owner = ME});
    ASSERT_TRUE(verdict.confirmed()) << verdict.reason;
    EXPECT_EQ(verdict.pid(), child.pid());
    EXPECT_EQ(verdict.reason, "");

    const std::string stranger = ::geteuid() == 0 ? "nobody" : "root";
    EXPECT_EQ(Judge::judge(file, {.owner = stranger}).outcome, Outcome::Unconfirmed);
    EXPECT_EQ(Judge::judge(file, {}).outcome, Outcome::Unconfirmed);
    EXPECT_TRUE(Judge::judge(file, {.binary = "/bin/sleep", .owner = stranger}).confirmed());
    EXPECT_TRUE(Judge::judge(file, {.program = "/sleep$", .owner = stranger}).confirmed());
    // A program given and not run: refused even for the right owner.
    auto wrong = Judge::judge(file, {.program = "/crond$", .owner = ME});
    EXPECT_EQ(wrong.outcome, Outcome::WrongProgram);
    EXPECT_EQ(wrong.named, child.pid());

    // Written before the process started: its pid was reused.
    struct timespec hour_ago[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), hour_ago, 0), 0);
    EXPECT_EQ(Judge::judge(file, {.program = "/sleep$", .owner = ME}).outcome, Outcome::Reused);

    child.stop();
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), nullptr, 0), 0);
    EXPECT_EQ(Judge::judge(file, {.owner = ME}).outcome, Outcome::NotRunning);
}

// An interpreted daemon (spamd) runs perl: its program is the script the
// interpreter runs, after the interpreter's options; when its title hides
// the script, its owner decides.
TEST(PidFileJudge, AnInterpretedDaemonIsItsScript) {
    if (::access("/usr/bin/perl", X_OK) != 0)
        GTEST_SKIP() << "no /usr/bin/perl";
    TempDir dir;
    const std::string script = dir.write("food", "sleep 30;\n");
    auto child = TestChild::spawn("/usr/bin/perl", {"perl", "-T", "-w", script});
    const std::string file = dir.write("svc.pid", std::to_string(child.pid()) + "\n");
    const std::string stranger = ::geteuid() == 0 ? "nobody" : "root";
    EXPECT_TRUE(Judge::judge(file, {.program = "/food$", .owner = stranger}).confirmed());
    EXPECT_TRUE(Judge::judge(file, {.program = "/crond$", .owner = ME}).confirmed());
    EXPECT_EQ(Judge::judge(file, {.program = "/crond$", .owner = stranger}).outcome,
              Outcome::Unconfirmed);
}

// Whoever may write the file could name any of root's processes: a root
// owner confirms only a file that neither its group nor others may write.
TEST(PidFileJudge, ARootOwnerNeedsAFileNobodyElseMayWrite) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the owner to confirm is root";
    TempDir dir;
    auto child = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tvjudge"), "30"});
    const std::string file = dir.write("svc.pid", std::to_string(child.pid()) + "\n");
    for (mode_t mode : {0644, 0600, 0444}) {
        ASSERT_EQ(::chmod(file.c_str(), mode), 0);
        EXPECT_TRUE(Judge::judge(file, {.owner = "root"}).confirmed()) << std::oct << mode;
    }
    for (mode_t mode : {0664, 0646, 0666, 0620}) {
        ASSERT_EQ(::chmod(file.c_str(), mode), 0);
        auto verdict = Judge::judge(file, {.owner = "root"});
        EXPECT_EQ(verdict.outcome, Outcome::Unconfirmed) << std::oct << mode;
        EXPECT_NE(verdict.reason.find("others may write"), std::string::npos) << verdict.reason;
        // The program still shows it.
        EXPECT_TRUE(Judge::judge(file, {.binary = "/bin/sleep", .owner = "root"}).confirmed());
    }
    // Given away to another account, even unwritable to others.
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Judge::judge(file, {.owner = "root"}).outcome, Outcome::Unconfirmed);
}

// Without root, another account's process hides its executable: a listing
// by an unprivileged user still knows root's daemon by its command line,
// from a pid file only root could have written, and never a reused pid.
TEST(PidFileJudge, WithoutRootAnotherAccountsDaemonIsKnownByItsCommandLine) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the daemon is root's and the judge runs as nobody";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    auto daemon = TestChild::spawn("/bin/sleep", {"/bin/sleep", "30"});
    auto titled = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tvjudge"), "30"});
    const std::string file = dir.write("svc.pid", std::to_string(daemon.pid()) + "\n");
    const std::string title_file = dir.write("titled.pid", std::to_string(titled.pid()) + "\n");
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(title_file.c_str(), 0644), 0);
    // The outcome and the pid the verdict holds, as nobody sees them.
    auto as_nobody = [](const std::string& path, const Judge::Expectation& expected) {
        return Tavrel::TestSupport::text_from_child([&] {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                return std::string("cannot drop to nobody");
            const auto verdict = Judge::judge(path, expected);
            return std::to_string(static_cast<int>(verdict.outcome)) + " " +
                   std::to_string(verdict.pid().value_or(0));
        });
    };
    auto seen = [&](Outcome outcome, pid_t pid) {
        return std::to_string(static_cast<int>(outcome)) + " " + std::to_string(pid);
    };
    const Judge::Expectation sleep{.program = "^/bin/sleep$", .owner = "daemon"};

    EXPECT_EQ(as_nobody(file, sleep), seen(Outcome::Confirmed, daemon.pid()));
    // A title that names nothing is no refusal: the owner decides, or the
    // kernel's name of the process, which a title does not change.
    EXPECT_EQ(as_nobody(title_file, sleep), seen(Outcome::Unconfirmed, 0));
    EXPECT_EQ(as_nobody(title_file, {.program = "^/bin/sleep$", .binary = "/bin/sleep", .owner = "daemon"}),
              seen(Outcome::Confirmed, titled.pid()));
    EXPECT_EQ(as_nobody(title_file, {.program = "^/bin/sleep$", .binary = "/bin/cat", .owner = "daemon"}),
              seen(Outcome::Unconfirmed, 0));
    EXPECT_EQ(as_nobody(title_file, {.program = "^/bin/sleep$", .owner = "root"}),
              seen(Outcome::Confirmed, titled.pid()));
    // Whoever else may write the file could name any process.
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
    EXPECT_EQ(as_nobody(file, sleep), seen(Outcome::Unconfirmed, 0));
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    // Written before the process started: its pid was reused.
    struct timespec hour_ago[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), hour_ago, 0), 0);
    EXPECT_EQ(as_nobody(file, sleep), seen(Outcome::Reused, 0));
}

TEST(PidFileJudge, WhatIsNoPidFileOrNamesNothingToTrust) {
    TempDir dir;
    EXPECT_EQ(Judge::judge("", {.owner = ME}).outcome, Outcome::NoFile);
    EXPECT_EQ(Judge::judge(dir / "missing.pid", {.owner = ME}).outcome, Outcome::NoFile);
    for (const char* text : {"", "\n", "0\n", " 0 \n"})
        EXPECT_EQ(Judge::judge(dir.write("x.pid", text), {.owner = ME}).outcome, Outcome::NoFile)
            << text;
    for (const char* text : {"1\n", "-5\n", "12abc\n", "99999999999\n"})
        EXPECT_EQ(Judge::judge(dir.write("x.pid", text), {.owner = ME}).outcome, Outcome::NoPid)
            << text;
    for (pid_t own : {::getpid(), ::getppid()})
        EXPECT_EQ(Judge::judge(dir.write("x.pid", std::to_string(own)), {.owner = ME}).outcome,
                  Outcome::Ancestor);

    // Text from the file is quoted printable.
    auto verdict = Judge::judge(dir.write("x.pid", "\x1b]0;title\x07\n"), {.owner = ME});
    EXPECT_EQ(verdict.reason.find('\x1b'), std::string::npos);
    EXPECT_NE(verdict.reason.find("\\x1b]0;title\\x07"), std::string::npos) << verdict.reason;

    // Neither a FIFO (which would block) nor a link (to /dev/zero, which
    // never ends, or to a file of root's) is read.
    const std::string fifo = dir / "fifo.pid";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Judge::judge(fifo, {.owner = ME}).outcome, Outcome::Unreadable);
    const std::string zero = dir / "zero.pid";
    ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
    verdict = Judge::judge(zero, {.owner = ME});
    EXPECT_EQ(verdict.outcome, Outcome::Unreadable);
    EXPECT_NE(verdict.reason.find("symbolic link"), std::string::npos) << verdict.reason;
    const std::string linked = dir / "linked.pid";
    ASSERT_EQ(::symlink(dir.write("real.pid", std::to_string(::getpid())).c_str(), linked.c_str()),
              0);
    EXPECT_EQ(Judge::judge(linked, {.owner = ME}).outcome, Outcome::Unreadable);
}

}  // namespace
