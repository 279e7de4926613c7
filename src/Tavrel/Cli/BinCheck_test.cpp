#include "Tavrel/Cli/BinCheck.h"

#include "testsupport/FakeProc.h"

#include <gtest/gtest.h>

#include <sstream>

TEST(BinCheck, SwitchesAnswerAndOtherArgumentsPass) {
    std::ostringstream out;
    EXPECT_EQ(Tavrel::Cli::BinCheck::handle("--bincheck", out), 0);
    EXPECT_EQ(out.str(), "BinCheck ok\n");
    std::ostringstream mem;
    EXPECT_EQ(Tavrel::Cli::BinCheck::handle("--basemem", mem), 0);
    long kb = std::stol(mem.str());  // the real resident size of this process
    EXPECT_GT(kb, 100);
    std::ostringstream none;
    EXPECT_FALSE(Tavrel::Cli::BinCheck::handle("httpd", none));
    EXPECT_FALSE(Tavrel::Cli::BinCheck::handle("--bincheckx", none));
    EXPECT_EQ(none.str(), "");
}

TEST(BinCheck, MemoryFieldFromTheStatusFile) {
    Tavrel::TestSupport::FakeProc proc;
    proc.write("self/status", "Name:\tx\nVmRSSx:\t1 kB\nVmRSS:\t   2048 kB\n");
    EXPECT_EQ(Tavrel::Cli::BinCheck::basemem(), "2048");
    proc.write("self/status", "Name:\tx\n");
    EXPECT_FALSE(Tavrel::Cli::BinCheck::basemem());
}
