#include "Tavrel/Foundation/Text/Digits.h"

#include <gtest/gtest.h>

#include <cstdint>

using Tavrel::Foundation::Text::digits_value;

TEST(Digits, ValueWithinTheBoundOnly) {
    EXPECT_EQ(digits_value("0"), 0u);
    EXPECT_EQ(digits_value("0042"), 42u);
    EXPECT_EQ(digits_value("18446744073709551615"), UINT64_MAX);
    EXPECT_FALSE(digits_value("18446744073709551616"));
    EXPECT_EQ(digits_value("2147483647", INT32_MAX), 2147483647u);
    EXPECT_FALSE(digits_value("2147483648", INT32_MAX));
    for (const char* bad : {"", "-1", "+1", " 1", "1 ", "1a", "0x10"})
        EXPECT_FALSE(digits_value(bad)) << bad;
}
