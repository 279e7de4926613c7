#include "Tavrel/Run/ForkAsync.h"

#include "Tavrel/Foundation/Exception.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace {

int wait_exit_code(pid_t pid) {
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    return WEXITSTATUS(status);
}

}  // namespace

TEST(ForkAsync, ExitCodesFollowTheFunction) {
    EXPECT_EQ(wait_exit_code(Tavrel::Run::ForkAsync::do_in_child([] {})), 0);
    EXPECT_EQ(wait_exit_code(Tavrel::Run::ForkAsync::do_in_child_quiet([] {
                  errno = 0;
                  throw std::runtime_error("plain");
              })),
              127);
    EXPECT_EQ(wait_exit_code(Tavrel::Run::ForkAsync::do_in_child_quiet([] {
                  errno = ENOENT;
                  throw std::runtime_error("missing");
              })),
              2);
}

TEST(ForkAsync, ChildNeverReturnsIntoTheCaller) {
    // A child that returned here would run the rest of this test (and its
    // destructors) a second time; the pipe would then carry two marks.
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const pid_t pid = Tavrel::Run::ForkAsync::do_in_child([&] { (void)!::write(fds[1], "c", 1); });
    if (::getpid() != pid) {
        ::close(fds[1]);
        EXPECT_EQ(wait_exit_code(pid), 0);
        char buf[4];
        EXPECT_EQ(::read(fds[0], buf, sizeof buf), 1);
        ::close(fds[0]);
    }
}

TEST(ForkAsync, ErrorReportGoesToStandardError) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const pid_t pid = Tavrel::Run::ForkAsync::do_in_child([&] {
        ::dup2(fds[1], 2);
        throw Tavrel::Foundation::Exception::create_raw("Test::Failure", "it broke");
    });
    ::close(fds[1]);
    EXPECT_EQ(wait_exit_code(pid), 127);
    char buf[256] = {};
    ASSERT_GT(::read(fds[0], buf, sizeof buf - 1), 0);
    EXPECT_NE(std::string(buf).find("it broke"), std::string::npos);
    ::close(fds[0]);
}
