#include "Tavrel/ReadMultipleFH.h"

#include "Tavrel/FHUtils/UniqueFd.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

using Tavrel::ReadMultipleFH;
using Tavrel::FHUtils::UniqueFd;

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
