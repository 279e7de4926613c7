#include "Tavrel/Foundation/Croak.h"

#include "Tavrel/Foundation/PlainError.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

namespace Tavrel::Foundation {
namespace {

using testing::HasSubstr;

// A checking function as the helpers write them: it blames its caller.
int positive(int n, std::source_location caller = std::source_location::current()) {
    if (n <= 0)
        _croak("positive wants a number above 0, not " + std::to_string(n) + ".", caller);
    return n;
}

std::string what_of(const std::function<void()>& body) {
    try {
        body();
    } catch (const PlainError& e) {
        return e.what();
    }
    ADD_FAILURE() << "no PlainError";
    return {};
}

TEST(Croak, NamesTheCallersPositionNotTheCheck) {
    const int line = __LINE__ + 1;
    const std::string said = what_of([] { positive(-3); });
    EXPECT_EQ(said, "positive wants a number above 0, not -3 at Croak_test.cpp line " +
                        std::to_string(line) + ".");
    EXPECT_EQ(positive(2), 2);

    // Without a position handed on: the line of the _croak call itself.
    const int own = __LINE__ + 1;
    const std::string direct = what_of([] { _croak("no service word\n"); });
    EXPECT_EQ(direct, "no service word at Croak_test.cpp line " + std::to_string(own) + ".");
}

}  // namespace
}  // namespace Tavrel::Foundation
