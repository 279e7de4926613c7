#include "Tavrel/Foundation/Poll.h"

#include <gtest/gtest.h>

#include <chrono>

namespace Poll = Tavrel::Foundation::Poll;

// A wait ends at the first look that says yes, and at its deadline when none
// does, with one look at or after the deadline.
TEST(Poll, LooksUntilDoneOrTheDeadline) {
    int looks = 0;
    EXPECT_TRUE(Poll::until([&] { return ++looks == 3; }, {.within = 5, .every = 0.001}));
    EXPECT_EQ(looks, 3);

    looks = 0;
    EXPECT_FALSE(Poll::until([&] { return ++looks, false; }, {.within = 0}));
    EXPECT_EQ(looks, 1);

    looks = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Poll::until([&] { return ++looks, false; }, {.within = 0.05, .every = 0.01}));
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 0.05);
    EXPECT_LT(waited, 1.0);
    EXPECT_GE(looks, 2);
}
