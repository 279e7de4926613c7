#include "Tavrel/IO/Flush.h"

#include "Tavrel/Exception.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

namespace {

// More than a pipe holds, through a non-blocking descriptor: the loop must
// wait for the reader instead of failing with EAGAIN or writing short.
TEST(Flush, WritesEverythingThroughAFullNonBlockingPipe) {
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    const std::string data(1 << 20, 'z');
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        for (;;) {
            ssize_t n = ::read(p[0], buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<size_t>(n));
            if (n == 0)
                break;
            if (n < 0)
                ::usleep(1000);
        }
    });
    errno = 4242;
    Tavrel::IO::Flush::write_all(p[1], data);
    EXPECT_EQ(errno, 4242);
    ::close(p[1]);
    reader.join();
    ::close(p[0]);
    EXPECT_EQ(got.size(), data.size());
}

TEST(Flush, FailureIsWriteFailedWithTheBytesLeft) {
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    ::close(p[0]);
    struct sigaction ign {
    }, old{};
    ign.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ign, &old);
    try {
        Tavrel::IO::Flush::write_all(p[1], "abc");
        ADD_FAILURE() << "writing to a pipe without reader succeeded";
    } catch (const Tavrel::Exception& e) {
        EXPECT_TRUE(e.isa("Io::WriteFailed")) << e.class_name();
        EXPECT_EQ(e.error_number(), EPIPE);
        EXPECT_EQ(*e.get("length"), 3);
    }
    ::sigaction(SIGPIPE, &old, nullptr);
    ::close(p[1]);
}

}  // namespace
