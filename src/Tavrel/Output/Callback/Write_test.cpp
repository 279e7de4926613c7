#include "Tavrel/Output/Callback/Write.h"

#include "Tavrel/Output/Formatted/Plain.h"
#include "Tavrel/Foundation/PlainError.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Tavrel::Output::Callback::Write;

struct Recorder {
    std::vector<std::string> calls;
    Write handle{[this](std::string_view t) { calls.emplace_back(t); }};
};

TEST(CallbackWrite, SlicesByLengthAndOffset) {
    Recorder r;
    EXPECT_EQ(r.handle.write("abcdef", std::nullopt), 6u);
    EXPECT_EQ(r.handle.write("abcdef", 100), 6u);
    EXPECT_EQ(r.handle.write("abcdef", 2, 3), 2u);
    EXPECT_EQ(r.handle.write("abcdef", 10, -2), 2u);
    EXPECT_EQ(r.handle.write("abcdef", 3, 6), 0u);  // at the end: nothing passed
    EXPECT_EQ(r.handle.write("", 3, 5), 0u);        // empty buffer: nothing to reach past
    EXPECT_EQ(r.handle.write("abcdef", 0, 1), 0u);
    EXPECT_EQ(r.calls, (std::vector<std::string>{"abcdef", "abcdef", "de", "ef"}));
}

TEST(CallbackWrite, RejectsSlicesOutsideTheBuffer) {
    Recorder r;
    EXPECT_THROW(r.handle.write("abc", -1), Tavrel::Foundation::PlainError);
    EXPECT_THROW(r.handle.write("abc", 1, -4), Tavrel::Foundation::PlainError);
    EXPECT_THROW(r.handle.write("abc", 1, 4), Tavrel::Foundation::PlainError);
    EXPECT_TRUE(r.calls.empty());
    EXPECT_THROW(Write(nullptr), Tavrel::Foundation::PlainError);
}

TEST(CallbackWrite, PrintPrintfAndDescriptor) {
    Recorder r;
    r.handle.print({"a", "b", "c"});
    r.handle.output_field_separator = ",";
    r.handle.output_record_separator = "\n";
    r.handle.print({"a", "b"});
    r.handle.printf("{} has {} processes", "httpd", 4);
    r.handle.close();
    EXPECT_EQ(r.calls, (std::vector<std::string>{"abc", "a,b\n", "httpd has 4 processes"}));
    EXPECT_EQ(r.handle.fileno(), -1);
}

TEST(CallbackWrite, CapturesAnOutputObject) {
    std::string text;
    Tavrel::Output::Base::Options o;
    o.filehandle = std::make_shared<Write>([&](std::string_view t) { text += t; });
    Tavrel::Output::Formatted::Plain out(o);
    out.output("captured");
    EXPECT_EQ(text, "captured\n");
}

}  // namespace
