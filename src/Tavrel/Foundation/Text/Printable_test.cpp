#include "Tavrel/Foundation/Text/Printable.h"

#include <gtest/gtest.h>

namespace Tavrel::Foundation::Text {
namespace {

// What a daemon may print to take over a terminal: a colour and a title
// change (ESC sequences), the bell, a carriage return that lets the rest
// overwrite the line, a backspace, DEL and the 8-bit CSI. None of it may
// reach the terminal raw; ordinary text and UTF-8 stay as they are.
TEST(Printable, EscapesEveryControlCharacter) {
    EXPECT_EQ(printable("\x1b[2J\x1b]0;owned\x07"), "\\x1b[2J\\x1b]0;owned\\x07");
    EXPECT_EQ(printable("error: bad\rok   "), "error: bad\\x0dok   ");
    EXPECT_EQ(printable("a\bb\x7f\n"), "a\\x08b\\x7f\\x0a");
    EXPECT_EQ(printable("csi \xc2\x9b" "2J"), "csi \\xc2\\x9b2J");
    EXPECT_EQ(printable("caf\xc3\xa9 \xc2\xa0 \xe2\x80\x9c \\x1b"),
              "caf\xc3\xa9 \xc2\xa0 \xe2\x80\x9c \\x1b");
    EXPECT_EQ(printable(std::string_view("nul\0x", 5)), "nul\\x00x");
    // A lead byte at the very end is left for the terminal to reject.
    EXPECT_EQ(printable("end \xc2"), "end \xc2");
}

TEST(Printable, TabsAreKeptOnlyWhenAsked) {
    EXPECT_EQ(printable("col1\tcol2"), "col1\\x09col2");
    EXPECT_EQ(printable("col1\tcol2\x1b", KEEP_TAB), "col1\tcol2\\x1b");
}

}  // namespace
}  // namespace Tavrel::Foundation::Text
