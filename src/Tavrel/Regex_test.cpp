#include "Tavrel/Regex.h"

#include <gtest/gtest.h>

using Tavrel::Regex;

TEST(Regex, PerlFeaturesAndCaptures) {
    Regex re(R"((?<key>\w+)\s*=\s*(\S+?)(?<!;)$)");
    auto m = re.match("maxmem = 4096");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->named("key"), "maxmem");
    EXPECT_EQ((*m)[2], "4096");
    EXPECT_FALSE(re.test("no equals here"));
}

TEST(Regex, UnsetGroupIsEmptyAndReported) {
    Regex re("a(b)?c");
    auto m = re.match("ac");
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->has(1));
    EXPECT_EQ((*m)[1], "");
}

TEST(Regex, ReplaceFirstGlobalAndGroups) {
    Regex re(R"((\d+))");
    EXPECT_EQ(re.replace("a1b22c", "<$1>"), "a<1>b22c");
    EXPECT_EQ(re.replace("a1b22c", "<${1}>$$", true), "a<1>$b<22>$c");
    Regex empty("x*");
    EXPECT_EQ(empty.replace("ab", "-", true), "-a-b-");
}

TEST(Regex, EscapeMatchesTheLiteralOnly) {
    std::string literal = "a.b*c(d)[e]+f?/g h$";
    Regex re("^" + Regex::escape(literal) + "$");
    EXPECT_TRUE(re.test(literal));
    EXPECT_FALSE(re.test("aXb*c(d)[e]+f?/g h$"));
}

TEST(Regex, BadPatternThrowsNamingIt) {
    try {
        Regex re("(unclosed");
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("(unclosed"), std::string::npos);
    }
}

TEST(Regex, MatchAllAdvancesPastEmptyMatches) {
    Regex re(R"(\d*)");
    auto all = re.match_all("1a22");
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[0][0], "1");
}

TEST(Regex, EmptyMatchesStepOverWholeCharacters) {
    Regex empty("x*");
    EXPECT_EQ(empty.replace("éa", "-", true), "-é-a-");
    auto all = Regex(R"(\d*)").match_all("é1");
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1][0], "1");
    EXPECT_EQ(all[1].start(), 2u);
}

TEST(Regex, EscapeSurvivesExtendedModeAndControlCharacters) {
    const std::string literal("a b\tc\nd#e\\f\0g~h=ü", 18);
    Regex plain("^" + Regex::escape(literal) + "$");
    Regex extended("^" + Regex::escape(literal) + "$", Regex::EXTENDED);
    EXPECT_TRUE(plain.test(literal));
    EXPECT_TRUE(extended.test(literal));
    EXPECT_FALSE(extended.test("ab\tc\nd"));
}
