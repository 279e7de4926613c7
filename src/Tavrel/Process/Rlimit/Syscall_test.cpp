#include "Tavrel/Process/Rlimit/Syscall.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/PlainError.h"
#include "testsupport/InChild.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace Sys = Tavrel::Process::Rlimit::Syscall;

namespace {
// Raising a hard limit needs CAP_SYS_RESOURCE, which root in a container may lack.
bool can_raise_hard_limits() {
    return Tavrel::TestSupport::in_child([] {
               struct rlimit lim {};
               ::getrlimit(RLIMIT_CORE, &lim);
               struct rlimit lower = {0, 0};
               ::setrlimit(RLIMIT_CORE, &lower);
               return ::setrlimit(RLIMIT_CORE, &lim) == 0 ? 0 : 1;
           }) == 0;
}

}  // namespace

TEST(SysRlimit, NamesAndNumbersReadTheKernelValues) {
    struct rlimit real {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &real), 0);
    auto by_name = Sys::getrlimit("NOFILE");
    EXPECT_EQ(by_name, Sys::getrlimit("7"));
    EXPECT_EQ(by_name.first, real.rlim_cur);
    EXPECT_EQ(by_name.second, real.rlim_max);
    EXPECT_EQ(Sys::RLIMITS().at("RTTIME"), 15);
    EXPECT_EQ(Sys::INFINITE_LIMIT, 18446744073709551615ULL);
}

TEST(SysRlimit, BadResourcesAreProgrammingFaults) {
    for (const char* bad : {"NOPE", "", "7a", "-1", "nofile"}) {
        EXPECT_THROW(Sys::getrlimit(bad), Tavrel::Foundation::PlainError) << bad;
        EXPECT_THROW(Sys::setrlimit(bad, 1, 1), Tavrel::Foundation::PlainError) << bad;
    }
}

TEST(SysRlimit, LowersAndRaisesInAChild) {
    // Lower both values, then raise them again where the process may; where
    // it may not, raising the hard limit is a typed failure.
    const bool privileged = can_raise_hard_limits();
    int code = Tavrel::TestSupport::in_child([privileged] {
        Sys::setrlimit("CORE", 4096, 8192);
        struct rlimit lim {};
        ::getrlimit(RLIMIT_CORE, &lim);
        if (lim.rlim_cur != 4096 || lim.rlim_max != 8192)
            return 1;
        if (!privileged) {
            try {
                Sys::setrlimit("CORE", 8192, Sys::INFINITE_LIMIT);
                return 2;
            } catch (const Tavrel::Foundation::Exception& e) {
                return e.isa("System::CallFailed") && e.error_number() == EPERM ? 0 : 3;
            }
        }
        Sys::setrlimit("CORE", Sys::INFINITE_LIMIT, Sys::INFINITE_LIMIT);
        auto [soft, hard] = Sys::getrlimit("CORE");
        return soft == Sys::INFINITE_LIMIT && hard == Sys::INFINITE_LIMIT ? 0 : 4;
    });
    EXPECT_EQ(code, 0);
}

TEST(SysRlimit, KernelRefusalIsTyped) {
    // The soft limit above the hard limit is refused by the kernel for anyone.
    try {
        Sys::setrlimit("NOFILE", 100, 50);
        FAIL() << "no exception";
    } catch (const Tavrel::Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("System::CallFailed"));
        EXPECT_EQ(e.error_number(), EINVAL);
    }
}
