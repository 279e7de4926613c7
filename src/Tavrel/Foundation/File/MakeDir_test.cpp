#include "Tavrel/Foundation/File/MakeDir.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

using Tavrel::Foundation::File::MakeDir::safemkdir;

mode_t mode_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

class UmaskScope {
  public:
    explicit UmaskScope(mode_t m) : old_(::umask(m)) {}
    ~UmaskScope() { ::umask(old_); }

  private:
    mode_t old_;
};

TEST(SafeMkdirTest, ExactPermissionsWhateverTheUmask) {
    Tavrel::TestSupport::TempDir tmp;
    {
        UmaskScope mask(0077);
        EXPECT_TRUE(safemkdir(tmp / "wide", 0755));
        const mode_t after = ::umask(0077);
        EXPECT_EQ(after, 0077u) << "the caller's umask must be restored";
    }
    {
        UmaskScope mask(0);
        EXPECT_TRUE(safemkdir(tmp / "private", 0700));
    }
    EXPECT_EQ(mode_of(tmp / "wide"), 0755u);
    EXPECT_EQ(mode_of(tmp / "private"), 0700u);
}

TEST(SafeMkdirTest, ParentsAndExistingEntries) {
    Tavrel::TestSupport::TempDir tmp;
    EXPECT_FALSE(safemkdir(tmp / "a/b/c", 0700));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(safemkdir(tmp / "a/b/c", 0700, {.parents = true}));
    EXPECT_EQ(mode_of(tmp / "a"), 0700u);
    EXPECT_EQ(mode_of(tmp / "a/b/c"), 0700u);

    // An existing directory is fine and keeps its mode.
    ::chmod((tmp / "a").c_str(), 0750);
    errno = 0;
    EXPECT_TRUE(safemkdir(tmp / "a", 0700));
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(mode_of(tmp / "a"), 0750u);

    // A file, or a link to a directory, is not the directory asked for.
    tmp.write("file", "x");
    EXPECT_FALSE(safemkdir(tmp / "file", 0700));
    EXPECT_EQ(errno, EEXIST);
    ASSERT_EQ(::symlink((tmp / "a").c_str(), (tmp / "link").c_str()), 0);
    EXPECT_FALSE(safemkdir(tmp / "link", 0700));
    EXPECT_EQ(errno, EEXIST);
}

}  // namespace
