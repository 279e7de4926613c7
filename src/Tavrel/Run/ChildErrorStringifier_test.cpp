#include "Tavrel/Run/ChildErrorStringifier.h"

#include <gtest/gtest.h>

#include <csignal>

using Tavrel::Run::ChildErrorStringifier;

TEST(ChildErrorStringifier, DecodesExitSignalAndCore) {
    ChildErrorStringifier ok(0, "/bin/x");
    EXPECT_FALSE(ok.error_code());
    EXPECT_FALSE(ok.signal_code());
    EXPECT_FALSE(ok.autopsy());
    EXPECT_FALSE(ok.to_exception());
    EXPECT_EQ(ok.terse_autopsy(), "success");
    EXPECT_NO_THROW(ok.die_if_error());

    ChildErrorStringifier exit1(256, "/bin/x");
    EXPECT_EQ(exit1.error_code(), 1);
    EXPECT_EQ(exit1.signal_code(), 0);
    EXPECT_EQ(exit1.error_name(), "EPERM");
    EXPECT_EQ(exit1.terse_autopsy(), "exit code 1");
    EXPECT_EQ(*exit1.autopsy(), "“/bin/x” exited with code 1.");

    ChildErrorStringifier exit2(512);
    EXPECT_EQ(exit2.error_name(), "ENOENT");
    EXPECT_EQ(*exit2.autopsy(), "The process exited with code 2.");
    EXPECT_EQ(ChildErrorStringifier(200 << 8).error_name(), "");

    ChildErrorStringifier killed(SIGKILL, "/bin/x");
    EXPECT_EQ(killed.error_code(), 0);
    EXPECT_EQ(killed.signal_code(), 9);
    EXPECT_EQ(killed.signal_name(), "SIGKILL");
    EXPECT_FALSE(killed.dumped_core());
    EXPECT_EQ(killed.terse_autopsy(), "SIGKILL (9)");
    EXPECT_EQ(*killed.autopsy(), "“/bin/x” ended because of the signal SIGKILL (9).");

    ChildErrorStringifier core(SIGABRT | 128);
    EXPECT_TRUE(core.dumped_core());
    EXPECT_EQ(core.signal_name(), "SIGABRT");
    EXPECT_EQ(core.terse_autopsy(), "SIGABRT (6) (core dumped)");
    EXPECT_NE(core.autopsy()->find("dumped core"), std::string::npos);
    EXPECT_NE(core.autopsy()->find("SIGABRT"), std::string::npos);
}

TEST(ChildErrorStringifier, ExceptionsCarryProgramAndCode) {
    auto e = ChildErrorStringifier(3 << 8, "/usr/bin/thing").to_exception();
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->isa("Child::ExitedNonZero"));
    EXPECT_EQ(e->get_text("program"), "/usr/bin/thing");
    EXPECT_EQ(e->get("exit_code")->get<int>(), 3);

    auto s = ChildErrorStringifier(SIGTERM, "/usr/bin/thing").to_exception();
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->isa("Child::Signalled"));
    EXPECT_EQ(s->get("signal")->get<int>(), SIGTERM);

    try {
        ChildErrorStringifier(SIGSEGV, "/p").die_if_error();
        FAIL() << "no exception";
    } catch (const Tavrel::Foundation::Exception& caught) {
        EXPECT_TRUE(caught.isa("Child"));
        EXPECT_NE(caught.to_string().find("SIGSEGV"), std::string::npos);
    }
}

TEST(ChildErrorStringifier, Names) {
    EXPECT_EQ(ChildErrorStringifier::signal_name_of(SIGHUP), "SIGHUP");
    EXPECT_EQ(ChildErrorStringifier::signal_name_of(SIGTERM), "SIGTERM");
    EXPECT_EQ(ChildErrorStringifier::errno_name_of(13), "EACCES");
    EXPECT_EQ(ChildErrorStringifier::errno_name_of(0), "");
    EXPECT_EQ(ChildErrorStringifier::errno_name_of(5000), "");
}
