#include "Tavrel/Config/JSON/Unicode.h"

#include "Tavrel/Config/JSON.h"

#include <gtest/gtest.h>

namespace {

using Tavrel::Config::JSON::Unicode::replace_unicode_escapes_with_utf8;

TEST(JSONUnicode, EscapesBecomeUtf8AndPairsOneCharacter) {
    EXPECT_EQ(replace_unicode_escapes_with_utf8(R"("caf\u00e9 \u20AC")"),
              "\"caf\xC3\xA9 \xE2\x82\xAC\"");
    EXPECT_EQ(replace_unicode_escapes_with_utf8(R"("\ud83d\ude00")"), "\"\xF0\x9F\x98\x80\"");
    EXPECT_EQ(replace_unicode_escapes_with_utf8(R"(\u0041)"), "A");
}

// The rewritten text must decode to what the original decodes to.
TEST(JSONUnicode, ResultStillDecodesToTheSameValue) {
    const std::vector<std::string> texts = {
        R"(["\u0022quoted\u0022", "back\u005cslash", "nl\u000a", "\\u0041 stays"])",
        R"(["lone \ud800 high", "\udc00 lone low", "\ud83d\u0041 unpaired"])",
        R"(["bad \u12", "end \u)",
    };
    for (const auto& text : texts) {
        const std::string out = replace_unicode_escapes_with_utf8(text);
        bool original_ok = true;
        Tavrel::Config::JSON::Value original;
        try {
            original = Tavrel::Config::JSON::Load(text);
        } catch (...) {
            original_ok = false;
        }
        if (original_ok) {
            EXPECT_EQ(Tavrel::Config::JSON::Load(out), original) << text << " -> " << out;
        }
    }
    EXPECT_EQ(replace_unicode_escapes_with_utf8(R"("\\u0041")"), R"("\\u0041")");
    EXPECT_EQ(replace_unicode_escapes_with_utf8(R"("\u0022")"), R"("\u0022")");
    EXPECT_EQ(replace_unicode_escapes_with_utf8(R"(\ud800)"), R"(\ud800)");
}

}  // namespace
