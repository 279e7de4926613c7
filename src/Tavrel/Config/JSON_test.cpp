#include "Tavrel/Config/JSON.h"

#include "Tavrel/Config/ProductData.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Config/JSON/Quiet.h"
#include "Tavrel/Foundation/PlainError.h"
#include "testsupport/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace J = Tavrel::Config::JSON;
using Tavrel::Foundation::Exception;
using Tavrel::TestSupport::TempDir;

TEST(JSON, StrictDecodingErrorsAreTyped) {
    EXPECT_EQ(J::Load(R"({"a": [1, 2]})")["a"][1], 2);
    try {
        J::Load("{\"a\": 1,}", "/some/file.json");
        FAIL();
    } catch (const Exception& e) {
        EXPECT_TRUE(e.isa("JSONParseError")) << e.class_name();
        EXPECT_EQ(e.get_text("path"), "/some/file.json");
        EXPECT_EQ(e.get_text("text"), "{\"a\": 1,}");
        EXPECT_NE(e.to_string().find("/some/file.json"), std::string::npos);
    }
    EXPECT_THROW(J::Load("{} # comment"), Exception);
}

TEST(JSON, RelaxedSyntaxLeavesStringsAlone) {
    const std::string text = R"(# heading
{
  "a": "x,]#y//z", // trailing comment
  /* block */ "b": [1, 2, ],
  "c": "tab	inside",
})";
    J::Value v = J::LoadRelaxed(text);
    EXPECT_EQ(v["a"], "x,]#y//z");
    EXPECT_EQ(v["b"], J::Value::array({1, 2}));
    EXPECT_EQ(v["c"], "tab\tinside");
    EXPECT_EQ(J::LoadNoSetUTF8Relaxed(R"(["\"#", ])")[0], "\"#");
}

TEST(JSON, EscapedSurrogatePairDecodesToOneCharacter) {
    const std::string smile = "\xF0\x9F\x98\x80";  // U+1F600 in UTF-8
    EXPECT_EQ(J::Load(R"(["\ud83d\ude00"])")[0], smile);
    EXPECT_EQ(J::LoadNoSetUTF8(R"("caf\u00e9")"), "caf\xC3\xA9");
    EXPECT_THROW(J::Load(R"(["\ud83d"])"), Exception);  // a lone half is not a character
}

TEST(JSON, DumpForms) {
    J::Value v = {{"b", 1}, {"a", "x/y"}};
    EXPECT_EQ(J::Dump(v), R"({"a":"x/y","b":1})");
    EXPECT_EQ(J::SafeDump(v), R"({"a":"x\/y","b":1})");
    EXPECT_EQ(J::Load(J::SafeDump(v)), v);
    nlohmann::ordered_json o = {{"b", 1}, {"a", 2}};
    EXPECT_EQ(J::Dump(o), R"({"b":1,"a":2})");
    EXPECT_EQ(J::canonical_dump(o), R"({"a":2,"b":1})");
    EXPECT_EQ(J::pretty_canonical_dump(v), "{\n  \"a\": \"x/y\",\n  \"b\": 1\n}\n");
    // Bytes that are not UTF-8 do not make a dump fail.
    EXPECT_NO_THROW(J::Dump(J::Value("bad \xFF byte")));
    EXPECT_EQ(J::copy_boolean(true), J::true_value());
}

TEST(JSON, FilesAndDescriptors) {
    TempDir dir;
    const std::string path = dir / "out.json";
    const mode_t old = ::umask(0);
    J::DumpFile(path, J::Value{{"k", "v"}});
    ::umask(old);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600);
    EXPECT_EQ(J::LoadFile(path)["k"], "v");
    EXPECT_EQ(J::SafeLoadFile(path)["k"], "v");
    EXPECT_EQ(J::LoadFileRelaxed(dir.write("r.json", "[1,]"))[0], 1);

    EXPECT_THROW(J::LoadFile(dir / "missing"), Tavrel::Foundation::PlainError);
    EXPECT_THROW(J::LoadFile(dir.write("empty.json", "")), Tavrel::Foundation::PlainError);
    EXPECT_THROW(J::LoadFile(dir.write("bad.json", "{")), Exception);

    Tavrel::Foundation::Fd::UniqueFd fd(
        ::open(dir.write("ws.json", "  \n {\"x\":1}").c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(J::looks_like_json_fd(fd.get()));
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 0);  // the probe did not move it
    EXPECT_EQ(J::LoadFile(fd.get())["x"], 1);
}

TEST(JSON, LooksLikeJson) {
    for (const char* yes : {"{}", " \n\t[1]", "\"s\"", "42"})
        EXPECT_TRUE(J::looks_like_json(yes));
    for (const char* no : {"", "   ", "true", "key=value", "-1"}) {
        EXPECT_FALSE(J::looks_like_json(no)) << no;
    }
}

TEST(JSON, TolerantLoadersAnswerNothingQuietly) {
    TempDir dir;
    const std::string good = dir.write("good.json", R"({"a": [1, 2, ], # hand edited
})");
    const std::string truncated = dir.write("truncated.json", R"({"a": [1, 2)");
    const std::string garbage = dir.write("garbage.json", std::string("\x00\x01\xff{", 4));
    const std::string empty = dir.write("empty.json", "");

    EXPECT_TRUE(J::Quiet::LoadJSONModule());
    EXPECT_TRUE(Tavrel::Config::ProductData::LoadModule());
    testing::internal::CaptureStderr();
    errno = 4242;
    for (const std::string& p : {truncated, garbage, empty, dir / "missing", dir.path()}) {
        EXPECT_FALSE(J::Quiet::LoadFile(p)) << p;
        EXPECT_FALSE(Tavrel::Config::ProductData::LoadFile(p)) << p;
    }
    EXPECT_EQ(errno, 4242);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(J::Quiet::LoadFile(good));  // strict
    auto relaxed = Tavrel::Config::ProductData::LoadFile(good);
    ASSERT_TRUE(relaxed);
    EXPECT_EQ((*relaxed)["a"][1], 2);
}

}  // namespace
