#include "Tavrel/Process/AccessIds/SetUids.h"

#include "Tavrel/Process/AccessIds.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Config/PwCache.h"
#include "testsupport/InChild.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using Tavrel::Process::AccessIds::SetUids::setuids;

std::string failure_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const Tavrel::Foundation::Exception& e) {
        return e.type_path();
    }
    return "";
}

TEST(SetUids, UnknownAccountsAreRefusedBeforeAnyChange) {
    EXPECT_EQ(failure_of([] { setuids("no-such-account-here"); }), "Param::Invalid");
    EXPECT_EQ(failure_of([] { setuids(""); }), "Param::Invalid");
    EXPECT_EQ(failure_of([] { setuids("root", "no-such-group-here"); }), "Param::Invalid");
    EXPECT_EQ(failure_of([] { setuids("99999999999"); }), "Param::Invalid");
}

TEST(SetUids, RootDropsGroupsThenGroupThenUserForGood) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "switching accounts needs root";
    auto nobody = Tavrel::Config::PwCache::getpwnam_noshadow("nobody");
    ASSERT_TRUE(nobody);
    int rc = Tavrel::TestSupport::in_child([&] {
        gid_t extra[] = {0, 4, 27};
        if (::setgroups(3, extra) != 0)
            return 10;
        setuids("nobody");
        uid_t r, e, s;
        gid_t rg, eg, sg;
        ::getresuid(&r, &e, &s);
        ::getresgid(&rg, &eg, &sg);
        if (r != nobody->uid || e != nobody->uid || s != nobody->uid)
            return 11;
        if (rg != nobody->gid || eg != nobody->gid || sg != nobody->gid)
            return 12;
        gid_t groups[8];
        int n = ::getgroups(8, groups);
        if (n != 1 || groups[0] != nobody->gid)
            return 13;
        if (::setresuid(0, 0, 0) == 0 || ::setgroups(0, nullptr) == 0)
            return 14;  // root must be gone for good
        // Already there: nothing to change, no privilege needed.
        return setuids(std::to_string(nobody->uid)) ? 0 : 15;
    });
    EXPECT_EQ(rc, 0);
}

TEST(SetUids, WithoutPrivilegeAFailedStepIsReported) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to become an unprivileged account first";
    int rc = Tavrel::TestSupport::in_child([] {
        setuids("nobody");
        return failure_of([] { setuids("root"); }) == "System::CallFailed" ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
}

TEST(RunAsUser, WorkRunsAsTheAccountAndThisProcessStaysAsItIs) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "switching accounts needs root";
    auto nobody = Tavrel::Config::PwCache::getpwnam_noshadow("nobody");
    ASSERT_TRUE(nobody);
    auto value = Tavrel::Process::AccessIds::runasuser(
        "nobody", [] { return Tavrel::Run::ForkSync::Value(static_cast<long>(::geteuid())); });
    EXPECT_EQ(value.get<long>(), static_cast<long>(nobody->uid));
    EXPECT_EQ(::geteuid(), 0u);
    EXPECT_THROW(Tavrel::Process::AccessIds::runasuser("no-such-account-here",
                                              [] { return Tavrel::Run::ForkSync::Value(1); }),
                 Tavrel::Foundation::PlainError);
}

}  // namespace
