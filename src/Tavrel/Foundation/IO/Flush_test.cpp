#include "Tavrel/Foundation/IO/Flush.h"

#include "Tavrel/Foundation/Exception.h"
#include "testsupport/InChild.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
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
    Tavrel::Foundation::IO::Flush::write_all(p[1], data);
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
        Tavrel::Foundation::IO::Flush::write_all(p[1], "abc");
        ADD_FAILURE() << "writing to a pipe without reader succeeded";
    } catch (const Tavrel::Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("Io::WriteFailed")) << e.class_name();
        EXPECT_EQ(e.error_number(), EPIPE);
        EXPECT_EQ(*e.get("length"), 3);
    }
    ::sigaction(SIGPIPE, &old, nullptr);
    ::close(p[1]);
}

}  // namespace

namespace {

using Tavrel::TestSupport::in_child;

// The logger and the output objects write through try_write_all: a reader
// that went away is one more failure to report, never the end of the process.
TEST(Flush, TryWriteAllMeetsAVanishedReaderQuietly) {
    const int code = in_child([] {
        ::signal(SIGPIPE, SIG_DFL);
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0)
            return 3;
        ::close(p[0]);
        errno = EDOM;
        if (Tavrel::Foundation::IO::Flush::try_write_all(p[1], "lost"))
            return 1;
        if (errno != EDOM)
            return 2;
        sigset_t pending, mask;
        ::sigpending(&pending);
        ::sigprocmask(SIG_SETMASK, nullptr, &mask);
        // Nothing pending to strike later, and SIGPIPE not left blocked.
        return sigismember(&pending, SIGPIPE) || sigismember(&mask, SIGPIPE) ? 4 : 0;
    });
    EXPECT_EQ(code, 0);
}

// A log line that meets a full file system (here: the file-size limit, which
// likewise lets a write take only what fits) leaves no broken start behind.
TEST(Flush, AppendRecordIsWholeOrNothing) {
    char path[] = "/tmp/flush-append-XXXXXX";
    const int made = ::mkstemp(path);
    ASSERT_GE(made, 0);
    ::close(made);
    const int code = in_child([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const int fd = ::open(path, O_WRONLY | O_APPEND);
        if (!Tavrel::Foundation::IO::Flush::append_record(fd, std::string(90, 'a') + "\n"))
            return 1;
        struct rlimit limit = {100, 100};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 2;
        errno = EDOM;
        if (Tavrel::Foundation::IO::Flush::append_record(fd, std::string(29, 'b') + "\n") || errno != EDOM)
            return 3;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || st.st_size != 91)
            return 4;
        // The loop of try_write_all keeps what fitted: the broken line of old.
        Tavrel::Foundation::IO::Flush::try_write_all(fd, std::string(29, 'b') + "\n");
        return ::fstat(fd, &st) == 0 && st.st_size == 100 ? 0 : 5;
    });
    ::unlink(path);
    EXPECT_EQ(code, 0);
}

// A caller that blocks SIGPIPE itself keeps its mask and its pending signal.
TEST(Flush, CallerThatBlocksSigpipeKeepsItsOwnSignal) {
    const int code = in_child([] {
        sigset_t pipe_set;
        sigemptyset(&pipe_set);
        sigaddset(&pipe_set, SIGPIPE);
        ::sigprocmask(SIG_BLOCK, &pipe_set, nullptr);
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0)
            return 3;
        ::close(p[0]);
        Tavrel::Foundation::IO::Flush::try_write_all(p[1], "lost");
        sigset_t pending, mask;
        ::sigpending(&pending);
        ::sigprocmask(SIG_SETMASK, nullptr, &mask);
        return sigismember(&pending, SIGPIPE) && sigismember(&mask, SIGPIPE) ? 0 : 1;
    });
    EXPECT_EQ(code, 0);
}

// With a time limit no wait for a descriptor that takes nothing lasts longer,
// blocking or not: the bound of the copies of a read.
TEST(Flush, TimeLimitBoundsEveryWaitWithTimeout) {
    for (bool non_blocking : {false, true}) {
        const int code = in_child([non_blocking] {
            ::alarm(5);  // an unbounded write would hang here
            int p[2];
            if (::pipe2(p, O_CLOEXEC | (non_blocking ? O_NONBLOCK : 0)) != 0)
                return 3;
            const std::string data(1 << 20, 'z');
            const auto start = std::chrono::steady_clock::now();
            try {
                Tavrel::Foundation::IO::Flush::write_all(p[1], data, 0.2);
                return 1;
            } catch (const Tavrel::Foundation::Exception& e) {
                if (!e.isa("Timeout") || e.get("timeout")->get<double>() != 0.2)
                    return 2;
            }
            const double took =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            return took >= 0.2 && took < 1.5 ? 0 : 4;
        });
        EXPECT_EQ(code, 0) << (non_blocking ? "non-blocking" : "blocking");
    }
}

}  // namespace
