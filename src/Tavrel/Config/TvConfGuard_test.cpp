#include "Tavrel/Config/TvConfGuard.h"

#include "Tavrel/Config/LoadConfig.h"
#include "Tavrel/Config/LoadTvConf.h"
#include "Tavrel/Config/JSON.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Foundation/PlainError.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <chrono>
#include <filesystem>

namespace {

using Tavrel::Config::TvConf;
using Tavrel::Config::TvConfGuard;
namespace LoadTvConf = Tavrel::Config::LoadTvConf;

class TvConfTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_conf_ = TvConfGuard::TVCONF_FILE;
        saved_cache_ = TvConfGuard::TVCONF_CACHE_FILE;
        TvConfGuard::TVCONF_FILE = tmp_ / "tavrel.conf";
        TvConfGuard::TVCONF_CACHE_FILE = tmp_ / "tavrel.conf.cache";
        TvConfGuard::CACHE_REREAD_SLEEP = 0;
        TvConfGuard::memory_only.reset();
        LoadTvConf::clearcache();
    }
    void TearDown() override {
        TvConfGuard::TVCONF_FILE = saved_conf_;
        TvConfGuard::TVCONF_CACHE_FILE = saved_cache_;
        TvConfGuard::CACHE_REREAD_SLEEP = 1.0;
        LoadTvConf::clearcache();
    }

    static void set_mtime(const std::string& path, time_t t) {
        struct utimbuf times {
            t, t
        };
        ASSERT_EQ(::utime(path.c_str(), &times), 0);
    }
    static time_t mtime(const std::string& path) {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
    }
    // The configuration says "file", its cache says "cache", the cache stamped
    // `offset` seconds after the configuration.
    void write_pair(int offset) {
        tmp_.write("tavrel.conf", "source=file\n");
        tmp_.write("tavrel.conf.cache", R"({"source":"cache"})");
        set_mtime(TvConfGuard::TVCONF_FILE, base_);
        set_mtime(TvConfGuard::TVCONF_CACHE_FILE, base_ + offset);
    }
    static TvConfGuard::Options reader(std::optional<bool> use_lock = std::nullopt) {
        TvConfGuard::Options o;
        o.loadtvconf = true;
        o.use_lock = use_lock;
        return o;
    }

    Tavrel::TestSupport::TempDir tmp_;
    time_t base_ = ::time(nullptr) - 1000;
    std::string saved_conf_, saved_cache_;
};

TEST_F(TvConfTest, CacheIsValidOnlyWhenStampedOneSecondAfterTheFile) {
    write_pair(1);
    auto [cache, valid] = TvConfGuard::get_cache();
    ASSERT_TRUE(cache);
    EXPECT_TRUE(valid);
    EXPECT_EQ(LoadTvConf::loadtvconf().at("source"), "cache");

    for (int offset : {0, 2, -1}) {
        LoadTvConf::clearcache();
        write_pair(offset);
        auto [stale, ok] = TvConfGuard::get_cache();
        EXPECT_FALSE(ok) << offset;
        ASSERT_TRUE(stale) << "a readable stale cache is still returned";
        TvConfGuard guard(reader(false));
        EXPECT_EQ(guard.config_copy().at("source"), "file") << offset;
    }
}

TEST_F(TvConfTest, ACacheStampedThisSecondIsReadWithoutAPause) {
    // Right after a settings change the cache carries the current second (the
    // file's time plus one); every run in that second used to wait a second.
    TvConfGuard::CACHE_REREAD_SLEEP = 1.0;
    base_ = ::time(nullptr) - 1;
    write_pair(1);
    const auto start = std::chrono::steady_clock::now();
    auto [cache, valid] = TvConfGuard::get_cache();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_TRUE(valid);
    ASSERT_TRUE(cache);
    EXPECT_EQ(cache->at("source"), "cache");
}

TEST_F(TvConfTest, EitherFileMissingMakesTheCacheInvalid) {
    tmp_.write("tavrel.conf.cache", R"({"source":"cache"})");
    EXPECT_FALSE(TvConfGuard::get_cache().second);
    tmp_.write("tavrel.conf", "source=file\n");
    std::filesystem::remove(TvConfGuard::TVCONF_CACHE_FILE);
    EXPECT_EQ(TvConfGuard::get_cache(), std::make_pair(std::shared_ptr<const TvConf>(), false));
    tmp_.write("tavrel.conf.cache", "{not json");
    EXPECT_EQ(TvConfGuard::get_cache().first, nullptr);
}

TEST_F(TvConfTest, RootLoadRewritesTheCacheStampedPlusOne) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for the locked load";
    write_pair(5);  // stale
    {
        TvConfGuard guard(reader());
        EXPECT_TRUE(guard.is_locked());
        EXPECT_TRUE(guard.rw());
        EXPECT_EQ(guard.config_copy().at("source"), "file");
    }
    EXPECT_EQ(mtime(TvConfGuard::TVCONF_CACHE_FILE), base_ + 1);
    auto doc = Tavrel::Config::JSON::LoadFile(TvConfGuard::TVCONF_CACHE_FILE);
    EXPECT_EQ(doc, Tavrel::Config::JSON::Value({{"source", "file"}}));
    struct stat st;
    ASSERT_EQ(::stat(TvConfGuard::TVCONF_CACHE_FILE.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    LoadTvConf::clearcache();
    EXPECT_TRUE(TvConfGuard::get_cache().second);
}

TEST_F(TvConfTest, MissingFileIsEmptyForReadersAndCreatedOnlyByRoot) {
    {
        TvConfGuard guard(reader(false));
        EXPECT_TRUE(guard.is_missing());
        EXPECT_TRUE(guard.config_copy().empty());
    }
    EXPECT_FALSE(std::filesystem::exists(TvConfGuard::TVCONF_FILE));
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to create the file";
    mode_t old = ::umask(077);
    EXPECT_TRUE(LoadTvConf::loadtvconf().empty());
    ::umask(old);
    struct stat st;
    ASSERT_EQ(::stat(TvConfGuard::TVCONF_FILE.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_size, 0);
}

TEST_F(TvConfTest, SecondReadInOneProcessComesFromMemory) {
    write_pair(1);
    auto first = LoadTvConf::loadtvconf_not_copy();
    EXPECT_EQ(first->at("source"), "cache");
    // Change what is on disk but keep every time stamp: memory still answers.
    tmp_.write("tavrel.conf.cache", R"({"source":"changed"})");
    set_mtime(TvConfGuard::TVCONF_CACHE_FILE, base_ + 1);
    auto second = LoadTvConf::loadtvconf_not_copy();
    EXPECT_EQ(second.get(), first.get());
    // A new modification time of the file is noticed.
    set_mtime(TvConfGuard::TVCONF_FILE, base_ + 10);
    set_mtime(TvConfGuard::TVCONF_CACHE_FILE, base_ + 11);
    EXPECT_EQ(LoadTvConf::loadtvconf_not_copy()->at("source"), "changed");
}

TEST_F(TvConfTest, ConfigCopyIsIndependentAndMemoryOnlyTouchesNoDisk) {
    write_pair(1);
    TvConf copy = LoadTvConf::loadtvconf();
    copy["source"] = "mine";
    EXPECT_EQ(LoadTvConf::loadtvconf().at("source"), "cache");

    std::filesystem::remove(TvConfGuard::TVCONF_FILE);
    TvConfGuard::memory_only = TvConf{{"maxmem", "4096"}};
    EXPECT_EQ(LoadTvConf::loadtvconf_not_copy()->at("maxmem"), "4096");
    EXPECT_FALSE(std::filesystem::exists(TvConfGuard::TVCONF_FILE));
    TvConfGuard::memory_only.reset();
}

TEST_F(TvConfTest, NestedLoadIsAProgrammingFault) {
    tmp_.write("tavrel.conf", "a=1\n");
    TvConfGuard::IN_LOAD = true;
    EXPECT_THROW(TvConfGuard guard(reader(false)), Tavrel::Foundation::PlainError);
    TvConfGuard::IN_LOAD = false;
}

TEST_F(TvConfTest, LockedLoadUsesTheSettingsWhenTheLockIsNotHadInTime) {
    // Another tool holds the file's lock and does not let go.
    tmp_.write("tavrel.conf", "maxmem=8192\n");
    auto held = Tavrel::Config::LoadConfig::load(TvConfGuard::TVCONF_FILE, {true, false});
    ASSERT_TRUE(held.lock);
    const double saved_timeout = Tavrel::Config::LoadConfig::LOCK_TIMEOUT;
    const std::string saved_log = Tavrel::Foundation::Logger::STD_LOG_FILE;
    Tavrel::Config::LoadConfig::LOCK_TIMEOUT = 0.2;
    Tavrel::Foundation::Logger::STD_LOG_FILE = tmp_ / "error_log";
    Tavrel::Foundation::Logger::clear_singleton_stash();
    {
        TvConfGuard::Options root;  // what a root run does
        root.use_lock = true;
        TvConfGuard guard(root);
        EXPECT_FALSE(guard.is_locked());
        ASSERT_TRUE(guard.data());
        EXPECT_EQ(guard.data()->at("maxmem"), "8192");
        guard.release_lock();
        // Settings read without the lock never become the cache.
        EXPECT_FALSE(std::filesystem::exists(TvConfGuard::TVCONF_CACHE_FILE));
    }
    LoadTvConf::clearcache();
    TvConfGuard::Options root_reader = reader(true);
    EXPECT_EQ(TvConfGuard(root_reader).config_copy().at("maxmem"), "8192");
    Tavrel::Config::LoadConfig::LOCK_TIMEOUT = saved_timeout;
    Tavrel::Foundation::Logger::STD_LOG_FILE = saved_log;
    Tavrel::Foundation::Logger::clear_singleton_stash();
    const std::string log = Tavrel::TestSupport::TempDir::read(tmp_ / "error_log");
    EXPECT_NE(log.find("No lock held on " + TvConfGuard::TVCONF_FILE), std::string::npos) << log;
}

TEST(LoadConfigTest, ParsesKeyValueLines) {
    TvConf c = Tavrel::Config::LoadConfig::parse(
        "# comment\n\n  maxmem = 4096 \r\ncoredump=1\nempty=\nflag\n  # indented comment\n"
        "url=http://x/?a=b\nmaxmem=8192\n=novalue\n");
    EXPECT_EQ(c, (TvConf{{"maxmem", "8192"},
                         {"coredump", "1"},
                         {"empty", ""},
                         {"flag", ""},
                         {"url", "http://x/?a=b"}}));
}

TEST(LoadConfigTest, LockedLoadExcludesAnotherLockedLoad) {
    Tavrel::TestSupport::TempDir tmp;
    std::string path = tmp.write("conf", "a=1\n");
    auto held = Tavrel::Config::LoadConfig::load(path, {true, false});
    ASSERT_TRUE(held.lock);
    pid_t child = ::fork();
    if (child == 0) {
        Tavrel::Config::LoadConfig::LOCK_TIMEOUT = 0.1;
        auto r = Tavrel::Config::LoadConfig::load(path, {true, false});
        // Not locked, but read all the same.
        ::_exit(r.data && !r.lock && r.error_number == EWOULDBLOCK ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    auto missing = Tavrel::Config::LoadConfig::load(tmp / "none");
    EXPECT_FALSE(missing.data);
    EXPECT_EQ(missing.error_number, ENOENT);
}

}  // namespace

// JSON carries only UTF-8 text: a value in another encoding would come back
// from the cache changed, so such settings are not cached at all.
TEST(TvConfCacheText, RoundTripsOrRefuses) {
    TvConf conf = {{"maxmem", "4096"}, {"CONTACTNAME", "Zoë"}};
    auto text = TvConfGuard::cache_text(conf);
    ASSERT_TRUE(text);
    EXPECT_EQ(*TvConfGuard::conf_from_cache(Tavrel::Config::JSON::Load(*text)), conf);
    conf["CONTACTNAME"] = "Jos\xe9";  // Latin-1
    EXPECT_FALSE(TvConfGuard::cache_text(conf));
    EXPECT_FALSE(TvConfGuard::conf_from_cache(Tavrel::Config::JSON::Load("[]")));
    EXPECT_EQ(TvConfGuard::conf_from_cache(Tavrel::Config::JSON::Load(R"({"a":1,"b":null})"))->at("a"), "1");
}

TEST_F(TvConfTest, SettingsJSONCannotCarryLeaveNoCacheBehind) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for the locked load";
    write_pair(5);  // stale cache
    tmp_.write("tavrel.conf", "source=fil\xe9\n");
    set_mtime(TvConfGuard::TVCONF_FILE, base_);
    {
        TvConfGuard guard(reader());
        EXPECT_EQ(guard.config_copy().at("source"), "fil\xe9");
    }
    EXPECT_NE(::access(TvConfGuard::TVCONF_CACHE_FILE.c_str(), F_OK), 0);
    LoadTvConf::clearcache();
    EXPECT_EQ(LoadTvConf::loadtvconf().at("source"), "fil\xe9");
}
