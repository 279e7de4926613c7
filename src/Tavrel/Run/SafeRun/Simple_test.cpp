#include "Tavrel/Run/SafeRun/Simple.h"

#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Run/SafeRun/Errors.h"
#include "Tavrel/Run/SafeRun/LastStatus.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

namespace Simple = Tavrel::Run::SafeRun::Simple;
using Tavrel::Run::SafeRun::last_child_status;

namespace {
const std::vector<std::string> BOTH_STREAMS = {"/usr/bin/perl", "-e",
                                               "print 'out'; print STDERR 'err'; exit 4"};
}

TEST(SafeRunSimple, FourStandardErrorPolicies) {
    EXPECT_EQ(Simple::saferun({"/bin/echo", "hello", "world"}), "hello world\n");
    EXPECT_EQ(last_child_status(), 0);

    EXPECT_EQ(Simple::saferunnoerror(BOTH_STREAMS), "out");
    EXPECT_EQ(last_child_status(), 4 << 8);
    EXPECT_EQ(Simple::saferunonlyerrors(BOTH_STREAMS), "err");
    const std::string all = Tavrel::Run::SafeRun::Errors::saferunallerrors(BOTH_STREAMS);
    EXPECT_EQ(all.size(), 6u);
    EXPECT_NE(all.find("out"), std::string::npos);
    EXPECT_NE(all.find("err"), std::string::npos);
    EXPECT_EQ(*Simple::saferun_r({"/bin/echo", "r"}), "r\n");
}

TEST(SafeRunSimple, CallerErrnoSurvives) {
    errno = EDOM;
    EXPECT_EQ(Simple::saferun({"/bin/sh", "-c", "echo a; sleep 0.05; echo b"}), "a\nb\n");
    EXPECT_EQ(errno, EDOM);
}

TEST(SafeRunSimple, UnstartableProgramsAndBadCommands) {
    EXPECT_EQ(Simple::saferun({"/no/such/program"}), "");
    EXPECT_EQ(last_child_status(), -1);
    // A command line squeezed into one element is refused.
    EXPECT_THROW(Simple::saferun({"/bin/echo hi"}), Tavrel::Foundation::PlainError);
    // A non-executable file.
    EXPECT_EQ(Simple::saferun({"/etc/hostname", "x"}), "");
    EXPECT_EQ(last_child_status(), -1);
}

TEST(SafeRunSimple, LoaderVariablesAreRemoved) {
    ::setenv("LD_LIBRARY_PATH", "/nowhere", 1);
    ::setenv("TAVREL_SIMPLE_KEPT", "yes", 1);
    const std::string env = Simple::saferun({"/usr/bin/env"});
    ::unsetenv("LD_LIBRARY_PATH");
    ::unsetenv("TAVREL_SIMPLE_KEPT");
    EXPECT_EQ(env.find("LD_LIBRARY_PATH"), std::string::npos);
    EXPECT_NE(env.find("TAVREL_SIMPLE_KEPT=yes"), std::string::npos);
}
