#include "Tavrel/Run/ReadMultipleFH.h"

#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Foundation/Exception.h"
#include "testsupport/InChild.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <sstream>

using Tavrel::Run::ReadMultipleFH;
using Tavrel::Foundation::Fd::UniqueFd;

namespace {

std::pair<UniqueFd, UniqueFd> pipe_pair() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace

TEST(ReadMultipleFH, ReadsEveryHandleToEndOfFile) {
    auto [r1, w1] = pipe_pair();
    auto [r2, w2] = pipe_pair();
    auto [r3, w3] = pipe_pair();
    ASSERT_EQ(::write(w1.get(), "one", 3), 3);
    ASSERT_EQ(::write(w2.get(), "two", 3), 3);
    ASSERT_EQ(::write(w3.get(), "three", 5), 5);
    w1.reset();
    w2.reset();
    w3.reset();
    auto mine = std::make_shared<std::string>("pre:");
    std::ostringstream copy;
    // Both limits 0: waits for end of file however long it takes.
    ReadMultipleFH r({.filehandles = {{r1.get()}, {r2.get(), mine}, {r3.get(), &copy}},
                      .timeout = 0,
                      .read_timeout = 0});
    EXPECT_TRUE(r.did_finish());
    EXPECT_EQ(r.timed_out(), 0);
    EXPECT_EQ(*r.get_buffer(r1.get()), "one");
    EXPECT_EQ(r.get_buffer(r2.get()), mine);
    EXPECT_EQ(*mine, "pre:two");
    EXPECT_EQ(r.get_buffer(r3.get()), nullptr);
    EXPECT_EQ(copy.str(), "three");
}

TEST(ReadMultipleFH, CopiesIntoADescriptor) {
    Tavrel::TestSupport::TempDir dir;
    UniqueFd out(::open((dir / "copy").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    auto [r, w] = pipe_pair();
    const std::string data(500000, 'd');
    ReadMultipleFH::Feed feed{std::move(w), std::make_shared<const std::string>(data)};
    ReadMultipleFH reader(
        {.filehandles = {{r.get(), ReadMultipleFH::CopyTo{out.get()}}}, .feed = std::move(feed)});
    EXPECT_TRUE(reader.did_finish());
    EXPECT_EQ(Tavrel::TestSupport::TempDir::read(dir / "copy"), data);
}

TEST(ReadMultipleFH, IdleAndOverallLimits) {
    auto [r, w] = pipe_pair();
    auto start = std::chrono::steady_clock::now();
    ReadMultipleFH idle({.filehandles = {{r.get()}}, .timeout = 5, .read_timeout = 0.2});
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_FALSE(idle.did_finish());
    EXPECT_EQ(idle.timed_out(), 0.2);
    EXPECT_LT(took, 1.0);

    ReadMultipleFH overall({.filehandles = {{r.get()}}, .timeout = 0.2, .read_timeout = 5});
    EXPECT_FALSE(overall.did_finish());
    EXPECT_EQ(overall.timed_out(), 0.2);

    // Data that keeps arriving does not reset the overall limit.
    ASSERT_EQ(::write(w.get(), "x", 1), 1);
    ReadMultipleFH partial({.filehandles = {{r.get()}}, .timeout = 0.2});
    EXPECT_EQ(*partial.get_buffer(r.get()), "x");
    EXPECT_EQ(partial.timed_out(), 0.2);
}

TEST(ReadMultipleFH, FeedStopsQuietlyWhenTheReaderGoes) {
    auto [in_r, in_w] = pipe_pair();
    auto [out_r, out_w] = pipe_pair();
    in_r.reset();  // nobody will ever read the input
    out_w.reset();
    ReadMultipleFH::Feed feed{std::move(in_w), std::make_shared<const std::string>(1 << 20, 'i')};
    ReadMultipleFH reader({.filehandles = {{out_r.get()}}, .timeout = 2, .feed = std::move(feed)});
    EXPECT_TRUE(reader.did_finish());
}

namespace {

using Tavrel::TestSupport::in_child;

// The write end of a pipe that is full and that nobody reads.
UniqueFd stalled_target(UniqueFd& keep_reader) {
    auto [r, w] = pipe_pair();
    const int flags = ::fcntl(w.get(), F_GETFL);
    ::fcntl(w.get(), F_SETFL, flags | O_NONBLOCK);
    const std::string block(65536, 'f');
    while (::write(w.get(), block.data(), block.size()) > 0) {
    }
    ::fcntl(w.get(), F_SETFL, flags);  // callers hand in blocking descriptors
    keep_reader = std::move(r);
    return std::move(w);
}

}  // namespace

// A copy target that takes nothing must not hold the read past its limits:
// the copy gives up after the idle limit with Timeout.
TEST(ReadMultipleFH, StalledCopyTargetIsBoundByTheLimits) {
    const int code = in_child([] {
        ::alarm(5);  // an unbounded copy would hang here
        UniqueFd reader;
        UniqueFd target = stalled_target(reader);
        auto [r, w] = pipe_pair();
        if (::write(w.get(), "data", 4) != 4)
            return 4;
        w.reset();
        const auto start = std::chrono::steady_clock::now();
        try {
            ReadMultipleFH copy({.filehandles = {{r.get(), ReadMultipleFH::CopyTo{target.get()}}},
                                 .timeout = 30,
                                 .read_timeout = 0.3});
            return 1;
        } catch (const Tavrel::Foundation::Exception& e) {
            if (!e.isa("Timeout"))
                return 2;
        }
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return took < 2 ? 0 : 3;
    });
    EXPECT_EQ(code, 0);
}

// A read whose only outputs are copies still ignores SIGPIPE: a copy target
// whose reader went away fails the copy with EPIPE and never kills us.
TEST(ReadMultipleFH, CopyToAVanishedReaderFailsInsteadOfKilling) {
    const int code = in_child([] {
        ::signal(SIGPIPE, SIG_DFL);
        auto [target_r, target_w] = pipe_pair();
        target_r.reset();
        auto [r, w] = pipe_pair();
        if (::write(w.get(), "data", 4) != 4)
            return 4;
        w.reset();
        try {
            ReadMultipleFH copy({.filehandles = {{r.get(), ReadMultipleFH::CopyTo{target_w.get()}}}});
        } catch (const Tavrel::Foundation::Exception& e) {
            return e.isa("Io::WriteFailed") && e.error_number() == EPIPE ? 0 : 2;
        }
        return 1;
    });
    EXPECT_EQ(code, 0);
    struct sigaction now {};
    ::sigaction(SIGPIPE, nullptr, &now);
    EXPECT_NE(now.sa_handler, SIG_IGN);  // our own disposition is back
}

// A handle that fails to read ends like end of file; the others are read on.
TEST(ReadMultipleFH, ReadErrorDropsOnlyThatHandle) {
    UniqueFd unreadable(::open("/dev/null", O_WRONLY | O_CLOEXEC));  // read: EBADF
    ASSERT_TRUE(unreadable);
    auto [r, w] = pipe_pair();
    ASSERT_EQ(::write(w.get(), "kept", 4), 4);
    w.reset();
    errno = EDOM;
    ReadMultipleFH reader({.filehandles = {{unreadable.get()}, {r.get()}}, .timeout = 2});
    EXPECT_EQ(errno, EDOM);
    EXPECT_TRUE(reader.did_finish());
    EXPECT_EQ(*reader.get_buffer(r.get()), "kept");
    EXPECT_EQ(*reader.get_buffer(unreadable.get()), "");
}
