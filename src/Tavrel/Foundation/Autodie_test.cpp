#include "Tavrel/Foundation/Autodie.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/PlainError.h"
#include "testsupport/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace A = Tavrel::Foundation::Autodie;
using Tavrel::Foundation::Exception;
using Tavrel::TestSupport::TempDir;

// Calls `f`, expecting an exception of `type` with errno `err`; returns it.
template <typename F>
Exception expect_io(F&& f, const char* type, int err) {
    try {
        f();
    } catch (const Exception& e) {
        EXPECT_TRUE(e.isa(type)) << e.class_name() << " is not " << type;
        EXPECT_EQ(e.error_number(), err) << e.to_string();
        return e;
    }
    ADD_FAILURE() << "no " << type << " was thrown";
    return Exception::create("Io");
}

TEST(Autodie, ExistsAnswersAndKeepsErrno) {
    TempDir dir;
    const std::string file = dir.write("f", "x");
    const std::string dangling = dir / "dangling";
    ASSERT_EQ(::symlink("nowhere", dangling.c_str()), 0);

    errno = 4242;
    EXPECT_TRUE(A::exists(file));
    EXPECT_FALSE(A::exists(dir / "missing"));
    EXPECT_FALSE(A::exists(dangling));
    EXPECT_TRUE(A::exists_nofollow(dangling));
    EXPECT_FALSE(A::exists_nofollow(dir / "missing"));
    EXPECT_EQ(errno, 4242);

    // A path through a regular file is not "missing": it is an error.
    expect_io([&] { A::exists(file + "/below"); }, "Io::StatFailed", ENOTDIR);
}

// Permission errors need an unprivileged process: as root, a child drops to
// nobody; otherwise the test runs as it is.
TEST(Autodie, ExistsUnderUnsearchableDirectoryThrowsStatFailed) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const std::string locked = dir / "locked";
    ASSERT_EQ(::mkdir(locked.c_str(), 0700), 0);
    const std::string probe = locked + "/file";

    uid_t nobody = 65534;
    if (::geteuid() == 0) {
        const struct passwd* pw = ::getpwnam("nobody");
        if (!pw)
            GTEST_SKIP() << "no 'nobody' account to drop to";
        nobody = pw->pw_uid;
    }
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(nobody) != 0 || ::setuid(nobody) != 0))
            ::_exit(77);
        try {
            A::exists(probe);
        } catch (const Exception& e) {
            ::_exit(e.isa("Io::StatFailed") && e.error_number() == EACCES &&
                            e.get_text("path") == probe
                        ? 0
                        : 1);
        }
        ::_exit(2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "could not drop privileges to nobody";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: wrong exception, 2: nothing thrown";
}

TEST(Autodie, OpenModesAndFailures) {
    TempDir dir;
    const std::string path = dir / "f";
    {
        auto fd = A::open(">", path);
        EXPECT_TRUE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC);
        EXPECT_TRUE(A::print(fd.get(), std::vector<std::string>{"ab", "cd"}));
    }
    {
        auto fd = A::open(">>", path);
        EXPECT_TRUE(A::print(fd.get(), "ef"));
    }
    {
        Tavrel::Foundation::Fd::UniqueFd fd;
        EXPECT_TRUE(A::open(fd, "<", path));
        EXPECT_TRUE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC);
        std::string buf = "..";
        EXPECT_EQ(A::sysread_sigguard(fd.get(), buf, 100, 2), 6u);
        EXPECT_EQ(buf, "..abcdef");
        EXPECT_EQ(A::sysread_sigguard(fd.get(), buf, 100, buf.size()), 0u);
    }
    auto sys = A::sysopen(path, O_RDONLY);
    EXPECT_TRUE(::fcntl(sys.get(), F_GETFD) & FD_CLOEXEC);

    Exception e = expect_io([&] { A::open("<", dir / "missing"); }, "Io::OpenFailed", ENOENT);
    EXPECT_EQ(e.get_text("mode"), "<");
    EXPECT_EQ(e.get_text("path"), dir / "missing");
    EXPECT_EQ(e.get("immutable"), nullptr);
    expect_io([&] { A::sysopen(dir / "missing", O_WRONLY); }, "Io::OpenFailed", ENOENT);

    EXPECT_THROW(A::open("", path), Tavrel::Foundation::PlainError);
    EXPECT_THROW(A::open("-|", path), Tavrel::Foundation::PlainError);
    EXPECT_THROW(A::open("<>", path), Tavrel::Foundation::PlainError);
}

TEST(Autodie, OpenFailedNamesTheImmutableAttribute) {
    TempDir dir;
    const std::string path = dir.write("f", "x");
    Tavrel::Foundation::Fd::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    int attrs = 0;
    if (::ioctl(fd.get(), FS_IOC_GETFLAGS, &attrs) != 0) {
        GTEST_SKIP() << "this file system has no file attributes";
    }
    int with = attrs | FS_IMMUTABLE_FL;
    if (::ioctl(fd.get(), FS_IOC_SETFLAGS, &with) != 0) {
        GTEST_SKIP() << "cannot set the immutable attribute here (needs CAP_LINUX_IMMUTABLE)";
    }
    Exception e = expect_io([&] { A::open(">>", path); }, "Io::OpenFailed", EPERM);
    ASSERT_EQ(::ioctl(fd.get(), FS_IOC_SETFLAGS, &attrs), 0);
    ASSERT_NE(e.get("immutable"), nullptr);
    EXPECT_EQ(*e.get("immutable"), 1);
}

TEST(Autodie, DescriptorOperationsThrowTypedErrors) {
    TempDir dir;
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    Tavrel::Foundation::Fd::UniqueFd rd(p[0]), wr(p[1]);

    EXPECT_EQ(A::syswrite(wr.get(), "abcdef", 3, 2), 3u);
    EXPECT_EQ(A::syswrite_sigguard(wr.get(), "xyz", std::string_view::npos, 1), 2u);
    std::string got;
    EXPECT_EQ(A::sysread_sigguard(rd.get(), got, 10), 5u);
    EXPECT_EQ(got, "cdeyz");
    EXPECT_THROW(A::syswrite(wr.get(), "ab", 1, 3), Tavrel::Foundation::PlainError);

    expect_io([&] { A::seek(rd.get(), 0); }, "Io::SeekFailed", ESPIPE);
    expect_io([&] { A::syswrite(rd.get(), "x"); }, "Io::WriteFailed", EBADF);
    expect_io([&] { A::print(rd.get(), "x"); }, "Io::WriteFailed", EBADF);
    expect_io([&] { A::fcntl(-1, F_GETFD); }, "Io::FcntlFailed", EBADF);
    expect_io([&] { A::truncate(rd.get(), 0); }, "Io::TruncateFailed", EINVAL);
    expect_io([&] { A::truncate(dir / "missing", 0); }, "Io::TruncateFailed", ENOENT);
    errno = 4242;
    EXPECT_EQ(A::fcntl(rd.get(), F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(errno, 4242);
}

TEST(Autodie, PathOperations) {
    TempDir dir;
    const std::string a = dir.write("a", "1");
    const std::string b = dir.write("b", "2");

    expect_io([&] { A::link(a, b); }, "Io::LinkFailed", EEXIST);
    Exception e = expect_io([&] { A::rename(dir / "missing", b); }, "Io::RenameFailed", ENOENT);
    EXPECT_EQ(e.get_text("old_path"), dir / "missing");
    EXPECT_EQ(e.get_text("new_path"), b);

    errno = 4242;
    EXPECT_TRUE(A::link(a, dir / "c"));
    EXPECT_TRUE(A::rename(dir / "c", dir / "d"));
    EXPECT_TRUE(A::unlink_if_exists(dir / "d"));
    EXPECT_FALSE(A::unlink_if_exists(dir / "d"));
    EXPECT_EQ(errno, 4242);
    expect_io([&] { A::unlink_if_exists(dir.path()); }, "Io::UnlinkFailed", EISDIR);

    auto fd = A::open("+<", a);
    EXPECT_TRUE(A::truncate(fd.get(), 0));
    EXPECT_TRUE(A::truncate(b, 0));
    EXPECT_EQ(TempDir::read(a) + TempDir::read(b), "");
}

}  // namespace
