#include "Tavrel/Foundation/Fd/Blocking.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/Fd/Autoflush.h"
#include "Tavrel/Foundation/Fd/Real.h"
#include "Tavrel/Foundation/Fd/Query.h"
#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Foundation/PlainError.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

namespace FH = Tavrel::Foundation::Fd;

struct Pipe {
    Pipe() {
        int p[2];
        EXPECT_EQ(::pipe2(p, O_CLOEXEC), 0);
        rd.reset(p[0]);
        wr.reset(p[1]);
    }
    FH::UniqueFd rd, wr;
};

TEST(FHUtils, BlockingFlagRoundTrip) {
    Pipe p;
    EXPECT_TRUE(FH::Blocking::is_set_to_block(p.rd.get()));
    FH::Blocking::set_non_blocking(p.rd.get());
    EXPECT_FALSE(FH::Blocking::is_set_to_block(p.rd.get()));
    char c;
    EXPECT_EQ(::read(p.rd.get(), &c, 1), -1);  // would block: it really is non-blocking
    EXPECT_EQ(errno, EAGAIN);
    FH::Blocking::set_blocking(p.rd.get());
    EXPECT_TRUE(FH::Blocking::is_set_to_block(p.rd.get()));
    // Other status flags survive the change.
    EXPECT_TRUE(::fcntl(p.rd.get(), F_GETFD) & FD_CLOEXEC);

    try {
        FH::Blocking::set_non_blocking(-1);
        FAIL();
    } catch (const Tavrel::Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("Io::FcntlFailed")) << e.class_name();
        EXPECT_EQ(e.error_number(), EBADF);
    }
    EXPECT_TRUE(FH::Autoflush::enable(p.wr.get()));
    EXPECT_THROW(FH::Autoflush::enable(-1), Tavrel::Foundation::Exception);
}

TEST(FHUtils, TinyAndOsQuestions) {
    Pipe p;
    errno = 4242;
    EXPECT_TRUE(FH::Query::is_a(p.rd.get()));
    int closed = ::dup(p.rd.get());
    ::close(closed);
    errno = 4242;
    EXPECT_FALSE(FH::Query::is_a(closed));
    EXPECT_FALSE(FH::Query::is_a(-1));
    EXPECT_EQ(errno, 4242);

    EXPECT_TRUE(FH::Query::are_same(p.rd.get(), p.rd.get()));
    EXPECT_FALSE(FH::Query::are_same(p.rd.get(), p.wr.get()));
    EXPECT_FALSE(FH::Query::are_same(-1, -1));

    EXPECT_TRUE(FH::Real::is_os_filehandle(p.wr));
    EXPECT_FALSE(FH::Real::is_os_filehandle(FH::UniqueFd()));

    fd_set set = FH::Query::to_bitmask({p.rd.get(), 0});
    EXPECT_TRUE(FD_ISSET(p.rd.get(), &set));
    EXPECT_TRUE(FD_ISSET(0, &set));
    EXPECT_FALSE(FD_ISSET(p.wr.get(), &set));
    EXPECT_THROW(FH::Query::to_bitmask({FD_SETSIZE}), Tavrel::Foundation::PlainError);
}

}  // namespace
