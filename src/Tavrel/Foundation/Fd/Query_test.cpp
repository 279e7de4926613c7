#include "Tavrel/Foundation/Fd/Query.h"

#include "testsupport/InChild.h"

#include <fcntl.h>
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
