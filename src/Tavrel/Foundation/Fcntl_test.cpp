#include "Tavrel/Foundation/Fcntl.h"

#include "Tavrel/Foundation/PlainError.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

namespace {

namespace F = Tavrel::Foundation::Fcntl;

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
    } catch (const Tavrel::Foundation::PlainError& e) {
        EXPECT_NE(std::string(e.what()).find("O_BOGUS"), std::string::npos) << e.what();
    }
    EXPECT_EQ(F::detail::cached_lists(), before);
    EXPECT_THROW(F::constant("LOCK_"), Tavrel::Foundation::PlainError);
    EXPECT_THROW(F::constant("lock_ex"), Tavrel::Foundation::PlainError);
}

TEST(Fcntl, NamesWithOrWithoutTheirPrefix) {
    EXPECT_EQ(F::constant("EX"), LOCK_EX);
    EXPECT_EQ(F::constant("LOCK_EX"), LOCK_EX);
    EXPECT_EQ(F::constant("CREAT"), O_CREAT);
    EXPECT_EQ(F::constant("SETFD"), F_SETFD);
    EXPECT_EQ(F::constant("CUR"), SEEK_CUR);
    EXPECT_EQ(F::or_flags({"WRONLY", "O_CREAT", "EXCL"}), O_WRONLY | O_CREAT | O_EXCL);
    EXPECT_EQ(F::or_flags({"EX", "NB"}), LOCK_EX | LOCK_NB);
    // O_CLOEXEC and FD_CLOEXEC share the short name: it is refused, never guessed.
    EXPECT_EQ(F::constant("FD_CLOEXEC"), FD_CLOEXEC);
    EXPECT_EQ(F::constant("O_CLOEXEC"), O_CLOEXEC);
    try {
        F::constant("CLOEXEC");
        FAIL();
    } catch (const Tavrel::Foundation::PlainError& e) {
        EXPECT_NE(std::string(e.what()).find("CLOEXEC\" is ambiguous"), std::string::npos);
    }
}

}  // namespace
