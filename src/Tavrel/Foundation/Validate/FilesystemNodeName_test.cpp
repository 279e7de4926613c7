#include "Tavrel/Foundation/Validate/FilesystemNodeName.h"

#include "Tavrel/Foundation/Exception.h"

#include <gtest/gtest.h>

namespace Node = Tavrel::Foundation::Validate::FilesystemNodeName;

namespace {

// The exception validate_or_die throws for `name`, which must be invalid.
Tavrel::Foundation::Exception failure(std::string_view name) {
    try {
        Node::validate_or_die(name);
    } catch (const Tavrel::Foundation::Exception& e) {
        return e;
    }
    throw std::logic_error("validate_or_die accepted an invalid name");
}

}  // namespace

TEST(FilesystemNodeName, AcceptsOrdinaryNames) {
    for (std::string_view name :
         {"httpd", "exim", ".hidden", "...", "a..b", "name with space", "ünïcödé", "-dash"}) {
        EXPECT_TRUE(Node::is_valid(name)) << name;
        EXPECT_NO_THROW(Node::validate_or_die(name)) << name;
    }
    EXPECT_TRUE(Node::is_valid(std::string(255, 'a')));
}

TEST(FilesystemNodeName, RefusesEachKindOfBadName) {
    EXPECT_FALSE(Node::is_valid(""));
    EXPECT_FALSE(Node::is_valid("."));
    EXPECT_FALSE(Node::is_valid(".."));
    EXPECT_FALSE(Node::is_valid(std::string(256, 'a')));
    EXPECT_FALSE(Node::is_valid("../etc"));
    EXPECT_FALSE(Node::is_valid("a/b"));
    EXPECT_FALSE(Node::is_valid("/"));
    EXPECT_FALSE(Node::is_valid(std::string_view("ab\0c", 4)));
}

TEST(FilesystemNodeName, FailureCarriesNameReasonAndLimit) {
    Tavrel::Foundation::Exception empty = failure("");
    EXPECT_TRUE(empty.isa("Name::Invalid"));
    EXPECT_EQ(empty.get_text("reason"), "empty");
    EXPECT_EQ(empty.to_string_no_id(), "A file-system node name cannot be empty.");

    Tavrel::Foundation::Exception dots = failure("..");
    EXPECT_EQ(dots.get_text("reason"), "reserved");
    EXPECT_NE(dots.to_string_no_id().find("“..”"), std::string::npos);

    std::string long_name(300, 'x');
    Tavrel::Foundation::Exception too_long = failure(long_name);
    EXPECT_EQ(too_long.get_text("name"), long_name);
    EXPECT_EQ(too_long.get("limit")->get<int>(), 255);
    EXPECT_NE(too_long.to_string_no_id().find("255 bytes"), std::string::npos);

    Tavrel::Foundation::Exception nul = failure(std::string_view("ab\0c", 4));
    EXPECT_EQ(nul.get_text("reason"), "forbidden_character");
    EXPECT_EQ(nul.get_text("name"), std::string("ab\0c", 4));
    // The shown text makes the NUL visible instead of cutting the line there.
    EXPECT_NE(nul.to_string_no_id().find("“ab\\0c”"), std::string::npos);

    EXPECT_EQ(failure("etc/passwd").get_text("reason"), "forbidden_character");
}

TEST(FilesystemNodeName, LengthCountsBytes) {
    // 128 two-byte characters: 256 bytes, over the limit though only 128 characters.
    std::string wide;
    for (int i = 0; i < 128; ++i)
        wide += "é";
    EXPECT_FALSE(Node::is_valid(wide));
}
