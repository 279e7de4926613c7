#include "Tavrel/Foundation/Regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using Tavrel::Foundation::Regex;

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

namespace {

// JIT-compiled code is only there when the library was built with it.
bool pcre2_has_jit() {
    uint32_t jit = 0;
    pcre2_config_8(PCRE2_CONFIG_JIT, &jit);
    return jit != 0;
}

struct JitSettings {
    unsigned matches = Tavrel::Foundation::RegexSettings::JIT_AFTER_MATCHES;
    std::size_t bytes = Tavrel::Foundation::RegexSettings::JIT_SUBJECT_BYTES;
    ~JitSettings() {
        Tavrel::Foundation::RegexSettings::JIT_AFTER_MATCHES = matches;
        Tavrel::Foundation::RegexSettings::JIT_SUBJECT_BYTES = bytes;
    }
};

}  // namespace

// A short run matches each pattern a few times: no machine code is made for
// it. A pattern used often, or on a large text, gets it, and its answers,
// captures and named groups included, stay the same across the switch.
TEST(Regex, JitOnlyOnceEarnedWithTheSameAnswers) {
    JitSettings restore;
    Tavrel::Foundation::RegexSettings::JIT_AFTER_MATCHES = 3;
    Tavrel::Foundation::RegexSettings::JIT_SUBJECT_BYTES = 1000;
    Regex re(R"((?<key>\w+)\s*=\s*(\S+?)(?<!;)$)");
    EXPECT_FALSE(re.jit_compiled());
    for (int i = 0; i < 8; ++i) {
        const std::string line = "key" + std::to_string(i) + " = v" + std::to_string(i);
        auto m = re.match(line);
        ASSERT_TRUE(m) << "round " << i;
        EXPECT_EQ(m->named("key"), "key" + std::to_string(i));
        EXPECT_EQ((*m)[2], "v" + std::to_string(i));
        EXPECT_FALSE(re.test("x = y;")) << "round " << i;
        if (i == 0) {
            EXPECT_FALSE(re.jit_compiled()) << "compiled to machine code after two matches";
        }
    }
    EXPECT_EQ(re.jit_compiled(), pcre2_has_jit());

    Regex big(R"(needle(\d+))");
    const std::string hay = std::string(2000, 'h') + "needle42" + std::string(10, 'h');
    auto m = big.match(hay);
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)[1], "42");
    EXPECT_EQ(m->start(), 2000u);
    EXPECT_EQ(big.jit_compiled(), pcre2_has_jit());
}

// Threads matching one pattern while it switches to machine code all get
// right answers (the sanitizer build watches the memory).
TEST(Regex, SwitchToJitWhileOtherThreadsMatch) {
    JitSettings restore;
    Tavrel::Foundation::RegexSettings::JIT_AFTER_MATCHES = 40;
    static const Regex re(R"(^(\d+) (\w+)$)");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                const std::string s = std::to_string(t * 1000 + i) + " w" + std::to_string(i);
                auto m = re.match(s);
                if (!m || (*m)[1] != std::to_string(t * 1000 + i) ||
                    (*m)[2] != "w" + std::to_string(i))
                    ++wrong;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(re.jit_compiled(), pcre2_has_jit());
}
