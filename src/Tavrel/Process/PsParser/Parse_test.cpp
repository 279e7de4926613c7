#include "Tavrel/Process/PsParser/Parse.h"

#include <gtest/gtest.h>

using namespace Tavrel::Process::PsParser;

namespace {

// Captured from this machine's /proc.
const char* KERNEL_THREAD =
    "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 25 0 0 18446744073709551615 0 0 0 "
    "0 0 0 0 2147483647 0 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
const char* ZOMBIE =
    "48211 (sh) Z 48190 48190 47001 34816 48190 4227148 62 0 0 0 0 0 0 0 20 0 1 0 612345 0 0 "
    "18446744073709551615 0 0 0 0 0 0 0 0 65536 0 0 0 17 1 0 0 0 0 0 0 0 0 0 0 0 0 17\n";
// A process whose name (a copied binary's file name) contains ") ".
const char* TRICKY_NAME =
    "51234 (evil) S 1 (x) R 47001 51234 47001 34816 51234 4194560 100 0 0 0 3 4 0 0 5 -3 1 0 "
    "700000 2256896 132 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0\n";

}  // namespace

TEST(ParseStat, KernelThreadFieldsByName) {
    auto st = Tavrel::Process::PsParser::Parse::stat(KERNEL_THREAD);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->name, "kthreadd");
    EXPECT_EQ(st->state(), 'S');
    EXPECT_EQ(st->ppid(), 0);
    EXPECT_EQ(st->pgrp(), 0);
    EXPECT_EQ(st->nice(), 0);
    EXPECT_EQ(st->starttime(), 25u);
    EXPECT_TRUE(st->is_kernel_thread());
    // A process of a program is not, however small its pid.
    EXPECT_FALSE(Tavrel::Process::PsParser::Parse::stat(ZOMBIE)->is_kernel_thread());
    EXPECT_FALSE(Tavrel::Process::PsParser::Parse::stat(TRICKY_NAME)->is_kernel_thread());
}

TEST(ParseStat, ZombieState) {
    auto st = Tavrel::Process::PsParser::Parse::stat(ZOMBIE);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->state(), 'Z');
    EXPECT_EQ(st->ppid(), 48190);
    EXPECT_EQ(Tavrel::Process::PsParser::Parse::stat_state(ZOMBIE), 'Z');
}

TEST(ParseStat, NameWithParenthesisAndSpaceSplitsAtLastParenthesis) {
    auto st = Tavrel::Process::PsParser::Parse::stat(TRICKY_NAME);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->name, "evil) S 1 (x");
    EXPECT_EQ(st->state(), 'R');
    EXPECT_EQ(st->ppid(), 47001);
    EXPECT_EQ(st->pgrp(), 51234);
    EXPECT_EQ(st->cpu_ticks(), 7u);
    EXPECT_EQ(st->nice(), -3);
    EXPECT_EQ(st->starttime(), 700000u);
    EXPECT_EQ(Tavrel::Process::PsParser::Parse::stat_state(TRICKY_NAME), 'R');
}

TEST(ParseStat, EmptyOrTruncatedLinesGiveNothing) {
    EXPECT_FALSE(Tavrel::Process::PsParser::Parse::stat(""));
    EXPECT_FALSE(Tavrel::Process::PsParser::Parse::stat("123 (name)"));
    EXPECT_FALSE(Tavrel::Process::PsParser::Parse::stat("123 (name) \n"));
    EXPECT_FALSE(Tavrel::Process::PsParser::Parse::stat("no parenthesis at all"));
    EXPECT_FALSE(Tavrel::Process::PsParser::Parse::stat_state("123 (name)"));
    auto short_line = Tavrel::Process::PsParser::Parse::stat("9 (x) S 1");
    ASSERT_TRUE(short_line);
    EXPECT_EQ(short_line->starttime(), 0u);  // missing fields read as 0
}

// Found by fuzzing: two huge time fields overflowed the signed sum.
TEST(ParseStat, HugeOrNegativeTimesNeverOverflowTheTickSum) {
    auto st = Tavrel::Process::PsParser::Parse::stat("4242 (overflow) S 1 4242 4242 0 -1 4194560 0 0 0 0 "
                          "9223372036854775807 9223372036854775807 0 0 20 0 1 0 100 0 0\n");
    ASSERT_TRUE(st);
    EXPECT_EQ(st->cpu_ticks(), 2ULL * 9223372036854775807ULL);
    st = Tavrel::Process::PsParser::Parse::stat("4242 (neg) S 1 4242 4242 0 -1 4194560 0 0 0 0 -5 7 0 0 20 0 1 0 100 0 0\n");
    ASSERT_TRUE(st);
    EXPECT_EQ(st->cpu_ticks(), 7u);
}

TEST(ParseCmdline, NulSeparatorsAndTrailingNuls) {
    std::string raw("/usr/sbin/exim\0-bd\0-q1h\0\0\0", 27);
    EXPECT_EQ(Tavrel::Process::PsParser::Parse::command_from_cmdline(raw), "/usr/sbin/exim -bd -q1h");
    EXPECT_EQ(Tavrel::Process::PsParser::Parse::cmdline_words(raw),
              (std::vector<std::string>{"/usr/sbin/exim", "-bd", "-q1h"}));
    // A process title rewritten with trailing spaces.
    EXPECT_EQ(Tavrel::Process::PsParser::Parse::command_from_cmdline("nginx: master process   "), "nginx: master process");
    EXPECT_EQ(Tavrel::Process::PsParser::Parse::command_from_cmdline(""), "");
    EXPECT_TRUE(Tavrel::Process::PsParser::Parse::cmdline_words("").empty());
    // An empty argument in the middle is kept.
    EXPECT_EQ(Tavrel::Process::PsParser::Parse::cmdline_words(std::string("a\0\0b\0", 5)),
              (std::vector<std::string>{"a", "", "b"}));
}

TEST(ParseStatm, ResidentPages) {
    EXPECT_EQ(Tavrel::Process::PsParser::Parse::statm_resident("2256 132 110 4 0 84 0\n"), 132);
    EXPECT_FALSE(Tavrel::Process::PsParser::Parse::statm_resident(""));
    EXPECT_FALSE(Tavrel::Process::PsParser::Parse::statm_resident("2256"));
}
