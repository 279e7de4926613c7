#include "Tavrel/Foundation/LoadFile.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/LoadFile/ReadFast.h"
#include "Tavrel/Foundation/PlainError.h"
#include "testsupport/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

namespace {

namespace L = Tavrel::Foundation::LoadFile;
using Tavrel::Foundation::Exception;
using Tavrel::TestSupport::TempDir;

TEST(LoadFile, StrictLoadersTellMissingFromFailing) {
    TempDir dir;
    errno = 4242;
    EXPECT_FALSE(L::load_if_exists(dir / "missing"));
    EXPECT_FALSE(L::load_r_if_exists(dir / "missing"));
    EXPECT_EQ(errno, 4242);
    try {
        L::load(dir / "missing");
        FAIL();
    } catch (const Exception& e) {
        EXPECT_TRUE(e.isa("Io::NotFound")) << e.class_name();
        EXPECT_EQ(e.error_number(), ENOENT);
        EXPECT_EQ(e.get_text("path"), dir / "missing");
    }
    try {
        L::load(dir.path());  // a directory opens but cannot be read
        FAIL();
    } catch (const Exception& e) {
        EXPECT_TRUE(e.isa("Io::ReadFailed")) << e.class_name();
        EXPECT_EQ(e.error_number(), EISDIR);
    }
    const std::string f = dir.write("f", "x");
    try {
        L::load(f + "/below");
        FAIL();
    } catch (const Exception& e) {
        EXPECT_TRUE(e.isa("Io::OpenFailed")) << e.class_name();
        EXPECT_EQ(e.error_number(), ENOTDIR);
    }
    try {
        L::load(f, -5);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_TRUE(e.isa("Io::SeekFailed")) << e.class_name();
        EXPECT_EQ(e.error_number(), EINVAL);
    }
}

TEST(LoadFile, WholeFilesAcrossChunksAndSlices) {
    TempDir dir;
    std::string big(L::ReadFast::READ_CHUNK * 2 + 123, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
    const std::string path = dir.write("big", big);
    EXPECT_EQ(L::load(path), big);
    EXPECT_EQ(*L::load_if_exists(path), big);
    EXPECT_EQ(L::load_r(path, 10, 5), big.substr(10, 5));
    EXPECT_EQ(L::load(path, static_cast<off_t>(big.size()) - 3), big.substr(big.size() - 3));
    EXPECT_EQ(L::load(dir.write("empty", "")), "");
}

// Without a size to go by (a pipe, a /proc file) the reads grow until the end:
// nothing is lost at the chunk borders, however the writer splits its data.
TEST(LoadFile, TextsOfUnknownSizeAreReadWhole) {
    TempDir dir;
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string data(L::ReadFast::READ_CHUNK * 3 + 17, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>('a' + i % 23);
    std::thread writer([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        for (size_t at = 0; fd >= 0 && at < data.size();) {
            const size_t piece = std::min<size_t>(data.size() - at, 1000 + at % 7000);
            const ssize_t n = ::write(fd, data.data() + at, piece);
            if (n <= 0)
                break;
            at += static_cast<size_t>(n);
        }
        if (fd >= 0)
            ::close(fd);
    });
    const std::string got = L::load(fifo);
    writer.join();
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
    const std::string status = L::load("/proc/self/status");
    EXPECT_NE(status.find("Name:"), std::string::npos);
    EXPECT_NE(status.find("VmRSS:"), std::string::npos) << "a /proc file cut short";
}

TEST(LoadFile, ForgivingLoadersNeverThrow) {
    TempDir dir;
    EXPECT_FALSE(L::loadfile(dir / "missing"));
    EXPECT_FALSE(L::loadfile(dir.path()));
    EXPECT_FALSE(L::loadfileasarrayref(dir / "missing"));
    const std::string path = dir.write("f", "one\ntwo\n\nfour");
    EXPECT_EQ(*L::loadbinfile(path), "one\ntwo\n\nfour");
    EXPECT_EQ(*L::loadfileasarrayref(path), (std::vector<std::string>{"one", "two", "", "four"}));

    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    EXPECT_TRUE(L::slurpfile(p[1], path));
    EXPECT_FALSE(L::slurpfile(p[1], dir / "missing"));
    ::close(p[1]);
    std::string got;
    EXPECT_EQ(L::ReadFast::read_all_fast(p[0], got), 13u);
    EXPECT_EQ(got, "one\ntwo\n\nfour");
    ::close(p[0]);
}

TEST(LoadFile, ReadFastFailureIsAPlainError) {
    std::string buf = "keep";
    EXPECT_THROW(L::ReadFast::read_fast(-1, buf, 10, 4), Tavrel::Foundation::PlainError);
    EXPECT_EQ(buf, "keep");
    EXPECT_THROW(L::ReadFast::read_all_fast(-1, buf), Tavrel::Foundation::PlainError);
}

}  // namespace
