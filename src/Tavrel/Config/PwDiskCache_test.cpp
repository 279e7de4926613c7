#include "Tavrel/Config/PwDiskCache.h"

#include "Tavrel/Config/PwCache.h"
#include "Tavrel/Config/PwCache/Helpers.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utime.h>
#include <fstream>

using namespace Tavrel;

namespace {

struct DiskCacheFixture : ::testing::Test {
    TestSupport::TempDir dir;
    std::string saved_passwd = Tavrel::Config::PwCache::PASSWD_FILE, saved_shadow = Tavrel::Config::PwCache::SHADOW_FILE,
                saved_dir = Tavrel::Config::PwDiskCache::CACHE_DIR, saved_nscd = Tavrel::Config::PwCache::NSCD_SOCKET;
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the disk cache is written by root only";
        Tavrel::Config::PwCache::PASSWD_FILE = dir.write("passwd",
                                         "root:x:0:0:root:/root:/bin/bash\n"
                                         "toor:x:0:0:another superuser:/root:/bin/sh\n"
                                         "mail:x:8:8:mail:/var/mail:/usr/sbin/nologin\n");
        Tavrel::Config::PwCache::SHADOW_FILE = dir.write("shadow", "root:$y$hash:19700:0:99999:7:::\n");
        Tavrel::Config::PwCache::NSCD_SOCKET = dir / "none";
        Tavrel::Config::PwDiskCache::CACHE_DIR = dir / "pwcache";
        Tavrel::Config::PwCache::reset();
        Tavrel::Config::PwDiskCache::enable();
    }
    void TearDown() override {
        Tavrel::Config::PwDiskCache::disable();
        Tavrel::Config::PwCache::PASSWD_FILE = saved_passwd;
        Tavrel::Config::PwCache::SHADOW_FILE = saved_shadow;
        Tavrel::Config::PwCache::NSCD_SOCKET = saved_nscd;
        Tavrel::Config::PwDiskCache::CACHE_DIR = saved_dir;
        Tavrel::Config::PwCache::reset();
    }
    static struct stat stat_of(const std::string& path) {
        struct stat st {};
        ::lstat(path.c_str(), &st);
        return st;
    }
};

}  // namespace

TEST_F(DiskCacheFixture, StoresOneFileAndLinksItsTwin) {
    auto mail = Tavrel::Config::PwCache::getpwnam("mail");
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->uid, 8u);
    std::string by_name = Tavrel::Config::PwDiskCache::path_of("0:mail"), by_uid = Tavrel::Config::PwDiskCache::path_of("2:8");
    auto a = stat_of(by_name), b = stat_of(by_uid);
    EXPECT_TRUE(S_ISREG(a.st_mode));
    EXPECT_EQ(a.st_mode & 07777, 0600u);
    EXPECT_EQ(stat_of(Tavrel::Config::PwDiskCache::CACHE_DIR).st_mode & 07777, 0700u);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_nlink, 2u);
    Tavrel::Config::PwDiskCache cache;
    EXPECT_TRUE(cache.EXISTS("0:mail"));
    EXPECT_TRUE(cache.EXISTS("2:8"));
    EXPECT_FALSE(cache.EXISTS("0:nobody"));

    // Storing again leaves exactly the pair of links.
    auto entry = cache.FETCH("0:mail");
    ASSERT_TRUE(entry);
    cache.STORE("0:mail", *entry);
    EXPECT_EQ(stat_of(by_name).st_nlink, 2u);
    EXPECT_EQ(stat_of(by_name).st_ino, stat_of(by_uid).st_ino);
}

TEST_F(DiskCacheFixture, MakesTheWholePathOnAFreshServer) {
    Tavrel::Config::PwDiskCache::CACHE_DIR = dir / "var/cache/tavrel/pwcache";
    ::umask(0);
    auto mail = Tavrel::Config::PwCache::getpwnam("mail");
    ::umask(022);
    ASSERT_TRUE(mail);
    EXPECT_TRUE(S_ISREG(stat_of(Tavrel::Config::PwDiskCache::path_of("0:mail")).st_mode));
    for (const std::string& made : {dir / "var", dir / "var/cache", dir / "var/cache/tavrel",
                                   Tavrel::Config::PwDiskCache::CACHE_DIR}) {
        auto st = stat_of(made);
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << made;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << made;
        EXPECT_EQ(st.st_uid, 0u) << made;
    }
}

TEST_F(DiskCacheFixture, RootRecordKeepsShadowDataAndOtherUidZeroAccountsAreNeverWritten) {
    auto root = Tavrel::Config::PwCache::getpwnam("root");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->passwd, "$y$hash");
    EXPECT_TRUE(Tavrel::Config::PwDiskCache().EXISTS("0:root"));
    EXPECT_TRUE(Tavrel::Config::PwDiskCache().EXISTS("2:0"));
    ::unlink(Tavrel::Config::PwDiskCache::path_of("2:0").c_str());
    auto toor = Tavrel::Config::PwCache::getpwnam("toor");
    ASSERT_TRUE(toor);
    EXPECT_EQ(toor->uid, 0u);
    EXPECT_FALSE(Tavrel::Config::PwDiskCache().EXISTS("0:toor"));
    EXPECT_FALSE(Tavrel::Config::PwDiskCache().EXISTS("2:0"));  // the superuser's uid file is not replaced by it
    // A key that does not name the record's account is refused.
    Tavrel::Config::PwCache::Entry e{*Tavrel::Config::PwCache::getpwnam("mail"), 0, 0};
    Tavrel::Config::PwDiskCache().STORE("0:root", e);
    EXPECT_EQ(Tavrel::Config::PwCache::getpwnam("root")->name, "root");
}

TEST_F(DiskCacheFixture, ReadsValidFilesAndIgnoresForeignOrStaleOnes) {
    ASSERT_TRUE(Tavrel::Config::PwCache::getpwnam("mail"));
    Tavrel::Config::PwCache::reset();  // forget the per-process copy: the next answer comes from disk
    std::string path = Tavrel::Config::PwDiskCache::path_of("0:mail");
    {
        // A forged record in the file, still stamped with the right times.
        std::ifstream in(path);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        auto at = text.find("/var/mail");
        ASSERT_NE(at, std::string::npos);
        text.replace(at, 9, "/var/evil");
        std::string tmp = dir.write("forged", text);
        ::chmod(tmp.c_str(), 0600);
        ::rename(tmp.c_str(), path.c_str());
    }
    EXPECT_EQ(Tavrel::Config::PwCache::getpwnam("mail")->dir, "/var/evil");  // a valid root-owned file is trusted
    Tavrel::Config::PwCache::reset();
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Tavrel::Config::PwCache::getpwnam("mail")->dir, "/var/mail");  // not owned by root: ignored

    Tavrel::Config::PwCache::reset();
    ::unlink(path.c_str());
    ::symlink(Tavrel::Config::PwDiskCache::path_of("2:8").c_str(), path.c_str());
    EXPECT_EQ(Tavrel::Config::PwCache::getpwnam("mail")->dir, "/var/mail");  // a link is not a regular file

    // A changed account file makes every stored record stale.
    Tavrel::Config::PwCache::reset();
    struct utimbuf t {
        1000000000, 1000000000
    };
    ::utime(Tavrel::Config::PwCache::PASSWD_FILE.c_str(), &t);
    std::ofstream(Tavrel::Config::PwDiskCache::path_of("2:8")) << "{\"VERSION\":1}";
    EXPECT_EQ(Tavrel::Config::PwCache::getpwuid(8)->name, "mail");
}
