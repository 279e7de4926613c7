#include "Tavrel/Foundation/Fd/Query.h"

#include "testsupport/InChild.h"

#include <fcntl.h>
#include <pty.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>

namespace Tiny = Tavrel::Foundation::Fd::Query;

namespace {

// What descriptor `fd` is: "null" for the null device, "open" for anything
// else, "closed".
std::string what_is(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return "closed";
    return S_ISCHR(st.st_mode) && major(st.st_rdev) == 1 && minor(st.st_rdev) == 3 ? "null"
                                                                                    : "open";
}

// The real terminal test under the logger's and the colour choice's seams:
// a pseudo-terminal is one, a pipe and the null device are not.
TEST(Query, IsTerminalOnlyForATerminal) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(Tiny::is_terminal(slave));
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    EXPECT_FALSE(Tiny::is_terminal(p[0]));
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_FALSE(Tiny::is_terminal(null_fd));
    EXPECT_FALSE(Tiny::is_terminal(-1));
    for (int fd : {master, slave, p[0], p[1], null_fd})
        ::close(fd);
}

}  // namespace

// A run started with standard output and error closed must not hand those
// numbers to the files it opens next, nor touch the ones that are open.
TEST(FHUtilsTiny, ClosedStandardDescriptorsGetTheNullDevice) {
    const std::string seen = Tavrel::TestSupport::text_from_child([] {
        ::close(1);
        ::close(2);
        const bool filled = Tiny::fill_standard_descriptors();
        const int next = ::open("/proc/self/stat", O_RDONLY);
        return std::string(filled ? "filled" : "not filled") + " " + what_is(0) + " " +
               what_is(1) + " " + what_is(2) + (next > 2 ? " next above 2" : " next in 0-2");
    });
    EXPECT_EQ(seen, "filled " + what_is(0) + " null null next above 2");
    EXPECT_TRUE(Tiny::is_a(1)) << "the test process's own descriptors stay as they are";
}
