#include "Tavrel/Fcntl.h"

#include "Tavrel/PlainError.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

namespace {

namespace F = Tavrel::Fcntl;

TEST(Fcntl, OrFlagsCombinesAndCachesPerList) {
    const std::size_t before = F::detail::cached_lists();
    EXPECT_EQ(F::or_flags({"O_WRONLY", "O_CREAT", "O_EXCL"}), O_WRONLY | O_CREAT | O_EXCL);
    EXPECT_EQ(F::detail::cached_lists(), before + 1);
    EXPECT_EQ(F::or_flags({"O_WRONLY", "O_CREAT", "O_EXCL"}), O_WRONLY | O_CREAT | O_EXCL);
    EXPECT_EQ(F::detail::cached_lists(), before + 1);
    EXPECT_EQ(F::or_flags({"LOCK_EX", "LOCK_NB"}), LOCK_EX | LOCK_NB);
    EXPECT_EQ(F::detail::cached_lists(), before + 2);
    EXPECT_EQ(F::or_flags({}), 0);
}

TEST(Fcntl, UnknownNameIsAPlainErrorNamingIt) {
    const std::size_t before = F::detail::cached_lists();
    try {
        F::or_flags({"O_CREAT", "O_BOGUS"});
        FAIL();
    } catch (const Tavrel::PlainError& e) {
        EXPECT_NE(std::string(e.what()).find("O_BOGUS"), std::string::npos) << e.what();
    }
    EXPECT_EQ(F::detail::cached_lists(), before);
    // Names are exact: no prefix is guessed.
    EXPECT_THROW(F::constant("EX"), Tavrel::PlainError);
    EXPECT_EQ(F::constant("FD_CLOEXEC"), FD_CLOEXEC);
}

}  // namespace
