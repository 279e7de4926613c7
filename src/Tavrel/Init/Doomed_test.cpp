#include "Tavrel/Init/Doomed.h"

#include "testsupport/FakeProc.h"
#include "testsupport/InChild.h"
#include "testsupport/TestChild.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace {

using namespace Tavrel::TestSupport::TestChild;
using Tavrel::Init::doomedprocess;

// The name the helper run carries, given through its environment.
constexpr const char* HELPER_ENV = "TAVREL_DOOMED_LINEAGE_NAME";

bool alive(pid_t pid) {
    return ::kill(pid, 0) == 0;
}

TEST(Doomed, EndsMatchingProcessesAndReportsWhetherAnyWereFound) {
    std::string name = unique_name("doomed");
    auto a = spawn("/bin/sleep", {name, "30"});
    auto b = spawn("/bin/sleep", {name, "30"}, {.ignore_term = true});
    EXPECT_TRUE(doomedprocess({name}, false, 0.2));
    a.wait();
    b.wait();
    EXPECT_FALSE(doomedprocess({name}, false, 0.2));
    EXPECT_FALSE(doomedprocess({}, false, 0.2));
}

TEST(Doomed, OwnerRuleSparesOtherAccounts) {
    std::string name = unique_name("doomed");
    auto a = spawn("/bin/sleep", {name, "30"});
    std::string other = ::geteuid() == 0 ? "nobody" : "root";
    EXPECT_FALSE(doomedprocess({name}, false, 0.2, {other}));
    EXPECT_TRUE(alive(a.pid()));
}

// php-fpm by name is every pool's master and workers: a process that
// another unit runs is not the service's, one its own unit runs is.
TEST(Doomed, AnotherUnitsCopyIsSparedAndTheOwnUnitsIsEnded) {
    std::string name = unique_name("doomed");
    auto a = spawn("/bin/sleep", {name, "30"});
    Tavrel::TestSupport::FakeProc proc(Tavrel::TestSupport::FakeProc::MIRROR);
    proc.write(std::to_string(a.pid()) + "/cgroup", "0::/system.slice/php8.2-fpm.service\n");
    EXPECT_FALSE(doomedprocess({name}, false, 0.2, {}, "hub-php-fpm.service"));
    EXPECT_FALSE(doomedprocess({name}, false, 0.2, {}, ""));
    EXPECT_TRUE(alive(a.pid()));
    // Its own unit's, even when the owner rule names another account.
    std::string other = ::geteuid() == 0 ? "nobody" : "root";
    EXPECT_TRUE(doomedprocess({name}, false, 0.2, {other}, "php8.2-fpm.service"));
    a.wait();
}

// Run by LineageIsNeverTouched as a separate program named like the doomed
// processes: a child of it asks for every process of that name to go, which
// must spare the child itself and this run, its parent.
TEST(Doomed, LineageHelper) {
    const char* name = std::getenv(HELPER_ENV);
    if (!name)
        GTEST_SKIP() << "run by LineageIsNeverTouched only";
    int rc = Tavrel::TestSupport::in_child(
        [&] { return doomedprocess({name}, false, 0.5) ? 0 : 1; });
    EXPECT_EQ(rc, 0);
}

TEST(Doomed, LineageIsNeverTouched) {
    std::string name = unique_name("doomed");
    auto stray = spawn("/bin/sleep", {name, "30"});
    pid_t helper = ::fork();
    if (helper == 0) {
        ::setenv(HELPER_ENV, name.c_str(), 1);
        ::execl("/proc/self/exe", name.c_str(), "--gtest_filter=Doomed.LineageHelper",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(helper, &status, 0), helper);
    ASSERT_TRUE(WIFEXITED(status)) << "the helper was killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    stray.wait();
    EXPECT_FALSE(alive(stray.pid()));
}

}  // namespace
