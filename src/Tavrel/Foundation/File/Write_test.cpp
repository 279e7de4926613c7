#include "Tavrel/Foundation/File/Write.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/File/Open.h"
#include "Tavrel/Foundation/PlainError.h"
#include "testsupport/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace {

using Tavrel::Foundation::Exception;
using Tavrel::TestSupport::TempDir;
namespace W = Tavrel::Foundation::File::Write;

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

mode_t mode_of(const std::string& path) {
    struct stat st;
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

class UmaskScope {
  public:
    explicit UmaskScope(mode_t m) : old_(::umask(m)) {}
    ~UmaskScope() { ::umask(old_); }

  private:
    mode_t old_;
};

TEST(AtomicWrite, OverwriteThroughSymlinksReplacesTargetAndKeepsLinks) {
    TempDir dir;
    const std::string target = dir.write("real/target", "old");
    const std::string abs_link = dir / "abs_link";
    const std::string rel_link = dir / "real/rel_link";
    ASSERT_EQ(::symlink(target.c_str(), abs_link.c_str()), 0);
    ASSERT_EQ(::symlink("target", rel_link.c_str()), 0);

    W::overwrite(abs_link, "via absolute", 0644);
    EXPECT_EQ(TempDir::read(target), "via absolute");
    W::overwrite(rel_link, "via relative", 0644);
    EXPECT_EQ(TempDir::read(target), "via relative");

    struct stat st;
    ASSERT_EQ(::lstat(abs_link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::lstat(rel_link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(entries(dir / "real"), (std::vector<std::string>{"rel_link", "target"}));
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"abs_link", "real"}));

    // A dangling link is written through: its target appears, the link stays.
    const std::string dangling = dir / "dangling";
    ASSERT_EQ(::symlink("made_by_write", dangling.c_str()), 0);
    W::overwrite(dangling, "new");
    EXPECT_EQ(TempDir::read(dir / "made_by_write"), "new");
    ASSERT_EQ(::lstat(dangling.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(AtomicWrite, WriteCreatesButRefusesAnExistingFileLeavingNoTemporary) {
    TempDir dir;
    const std::string path = dir / "file";
    auto fd = W::write(path, "first");
    EXPECT_TRUE(fd);
    EXPECT_EQ(TempDir::read(path), "first");
    EXPECT_EQ(mode_of(path), 0600);

    try {
        W::write(path, "second");
        FAIL() << "write replaced an existing file";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.isa("Io::LinkFailed")) << e.class_name();
        EXPECT_EQ(e.error_number(), EEXIST);
    }
    EXPECT_EQ(TempDir::read(path), "first");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"file"});
}

TEST(AtomicWrite, ExactPermissionsWhateverTheUmask) {
    TempDir dir;
    {
        UmaskScope u(077);
        W::overwrite(dir / "a", "x", 0640);
        EXPECT_EQ(mode_of(dir / "a"), 0640);
        W::overwrite(dir / "a", "y", 0604);  // replacing also gives the new mode
        EXPECT_EQ(mode_of(dir / "a"), 0604);
        Tavrel::Foundation::Fd::UniqueFd fd;
        ASSERT_TRUE(Tavrel::Foundation::File::Open::sysopen_with_real_perms(
            fd, dir / "b", O_WRONLY | O_CREAT | O_EXCL, 0755));
        EXPECT_EQ(mode_of(dir / "b"), 0755);
        EXPECT_EQ(::umask(077), 077) << "the umask was not restored";
    }
    {
        UmaskScope u(0);
        W::write(dir / "c", "x");
        EXPECT_EQ(mode_of(dir / "c"), 0600);
        // Bits beyond 0777 are never given to a created file.
        W::write(dir / "d", "x", 04755);
        EXPECT_EQ(mode_of(dir / "d"), 0755);
        // Without permissions: 0666 under the current umask.
        ASSERT_GE(Tavrel::Foundation::File::Open::sysopen_with_real_perms(dir / "e", O_WRONLY | O_CREAT),
                  0);
        EXPECT_EQ(mode_of(dir / "e"), 0666);
    }
}

TEST(AtomicWrite, ContentMustBeText) {
    TempDir dir;
    try {
        W::overwrite(dir / "f", nlohmann::json::array({"a", "b"}));
        FAIL() << "a list was written";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.isa("Param::Invalid")) << e.class_name();
        EXPECT_NE(e.to_string().find("array"), std::string::npos) << e.to_string();
    }
    EXPECT_THROW(W::overwrite(dir / "f", static_cast<const std::string*>(nullptr)), Exception);
    EXPECT_TRUE(entries(dir.path()).empty());

    const std::string text = "by reference";
    W::overwrite(dir / "f", &text);
    EXPECT_EQ(TempDir::read(dir / "f"), text);
    W::overwrite(dir / "g", nlohmann::json("json text"));
    EXPECT_EQ(TempDir::read(dir / "g"), "json text");
}

TEST(AtomicWrite, HookRunsBeforeInstallationAndItsFailureCleansUp) {
    TempDir dir;
    const std::string path = dir / "f";
    bool saw_target = true;
    auto fd = W::overwrite(path, "content", {0640, [&](int hook_fd) {
                                                 saw_target = ::access(path.c_str(), F_OK) == 0;
                                                 EXPECT_EQ(::fsync(hook_fd), 0);
                                             }});
    EXPECT_FALSE(saw_target);
    EXPECT_EQ(TempDir::read(path), "content");

    auto thrower = [](int) { throw Tavrel::Foundation::PlainError("hook refused"); };
    EXPECT_THROW(W::overwrite(path, "other", {0600, thrower}), Tavrel::Foundation::PlainError);
    EXPECT_THROW(W::write(dir / "g", "other", {0600, thrower}), Tavrel::Foundation::PlainError);
    EXPECT_EQ(TempDir::read(path), "content");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"f"});
}

TEST(AtomicWrite, FailuresAreTypedAndLeaveNothingBehind) {
    TempDir dir;
    try {
        W::overwrite(dir / "missing_dir/f", "x");
        FAIL();
    } catch (const Exception& e) {
        EXPECT_TRUE(e.isa("Io::TempFileFailed")) << e.class_name();
        EXPECT_EQ(e.error_number(), ENOENT);
    }
    // Renaming over a directory fails after the temporary file was written.
    ASSERT_EQ(::mkdir((dir / "d").c_str(), 0700), 0);
    try {
        W::overwrite(dir / "d", "x");
        FAIL();
    } catch (const Exception& e) {
        EXPECT_TRUE(e.isa("Io::RenameFailed")) << e.class_name();
    }
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"d"});

    EXPECT_FALSE(W::overwrite_no_exceptions(dir / "missing_dir/f", "x"));
    EXPECT_THROW(W::overwrite("", "x"), Tavrel::Foundation::PlainError);
    EXPECT_THROW(W::overwrite(dir / "..", "x"), Tavrel::Foundation::PlainError);
}

// Over the file-size limit the write must fail with EFBIG, not kill the
// process with SIGXFSZ; the limit is set in a child so it does not leak.
TEST(AtomicWrite, FileSizeLimitIsAnErrorNotADeath) {
    TempDir dir;
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        struct rlimit rl = {4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &rl) != 0)
            ::_exit(3);
        try {
            W::overwrite(dir / "big", std::string(100000, 'x'));
        } catch (const Exception& e) {
            ::_exit(e.isa("Io::WriteFailed") && e.error_number() == EFBIG ? 0 : 1);
        } catch (...) {
            ::_exit(4);
        }
        ::_exit(2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(entries(dir.path()).empty());
}

TEST(AtomicWrite, WriteFhRewritesInPlace) {
    TempDir dir;
    const std::string path = dir.write("f", "a long original content");
    Tavrel::Foundation::Fd::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(fd);
    ASSERT_EQ(::lseek(fd.get(), 5, SEEK_SET), 5);
    EXPECT_TRUE(W::write_fh(fd.get(), "short"));
    EXPECT_EQ(TempDir::read(path), "short");
}

TEST(AtomicWrite, ReturnedDescriptorIsOpenAndCloseOnExec) {
    TempDir dir;
    auto fd = W::overwrite(dir / "f", "x");
    ASSERT_TRUE(fd);
    EXPECT_TRUE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(::write(fd.get(), "y", 1), 1);  // still the written file
    EXPECT_EQ(TempDir::read(dir / "f"), "xy");
    int raw = Tavrel::Foundation::File::Open::sysopen_with_real_perms(dir / "g", O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(raw, 0);
    Tavrel::Foundation::Fd::UniqueFd g(raw);
    EXPECT_TRUE(::fcntl(raw, F_GETFD) & FD_CLOEXEC);
}

}  // namespace
