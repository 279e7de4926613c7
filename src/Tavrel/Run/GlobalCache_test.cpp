#include "Tavrel/Run/GlobalCache.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

namespace G = Tavrel::Run::GlobalCache;
using Tavrel::TestSupport::TempDir;

void set_mtime(const std::string& path, time_t t) {
    struct utimbuf times = {t, t};
    ASSERT_EQ(::utime(path.c_str(), &times), 0) << path;
}

// Points the caches at a temporary product directory and counts the
// commands that would have run.
class GlobalCacheTest : public testing::Test {
  protected:
    void SetUp() override {
        G::default_product_dir(dir.path());
        G::set_command_runner(
            [this](const std::string& program, const std::vector<std::string>& args) {
                ran.push_back(G::command_key(program, args));
                return std::optional<std::string>("fresh output");
            });
    }
    void TearDown() override {
        G::set_command_runner(nullptr);
        G::default_product_dir(G::DEFAULT_PRODUCT_DIR);
    }
    std::string write_cache(const std::string& name, const std::string& json, time_t mtime) {
        std::string path = dir.write(G::GLOBAL_CACHE_SUBDIR + "/" + name + ".json", json);
        set_mtime(path, mtime);
        return path;
    }

    TempDir dir;
    std::vector<std::string> ran;
};

TEST_F(GlobalCacheTest, DataIsAnsweredOnlyWhenNewerThanTheMinimumTime) {
    write_cache("mysql", R"({"data": {"is_remote": 1, "host": "db"}})", 1000000);
    EXPECT_EQ(*G::data("mysql", "is_remote"), 1);
    EXPECT_EQ(*G::data("mysql", "host", 999999), "db");
    EXPECT_FALSE(G::data("mysql", "host", 1000000));
    EXPECT_FALSE(G::data("mysql", "absent"));
    EXPECT_EQ(*G::get_cache_mtime("mysql"), 1000000);

    // Loaded once per process: a later change of the file is not seen...
    write_cache("mysql", R"({"data": {"is_remote": 0}})", 2000000);
    EXPECT_EQ(*G::data("mysql", "is_remote"), 1);
    // ...until the caches are cleared.
    G::clearcache();
    EXPECT_EQ(*G::data("mysql", "is_remote"), 0);
}

TEST_F(GlobalCacheTest, MissingOrDamagedCachesAnswerNothing) {
    EXPECT_FALSE(G::data("none", "k"));
    dir.write("outside.json", R"({"data": {"k": 1}})");
    EXPECT_FALSE(G::data("../outside", "k"));
    EXPECT_FALSE(G::get_cache_mtime("none"));
    write_cache("damaged", R"({"data": {"k": 1)", 1000000);
    EXPECT_FALSE(G::data("damaged", "k"));
    write_cache("list", R"([1, 2])", 1000000);
    EXPECT_FALSE(G::data("list", "k"));
    write_cache("odd", R"({"data": "not a map"})", 1000000);
    EXPECT_FALSE(G::data("odd", "k"));

    const std::string other = dir.write("elsewhere.json", R"({"data": {"k": "v"}})");
    EXPECT_TRUE(G::loadfile("named", other));
    EXPECT_EQ(*G::data("named", "k"), "v");
    EXPECT_FALSE(G::loadfile("named2", dir / "missing.json"));
}

// A cache file replaced while it is being loaded: its time and its content
// always come from the same file, never the time of one and the data of the
// other (which would pass stale facts off as fresh).
TEST_F(GlobalCacheTest, TimeAndContentComeFromTheSameFile) {
    const std::string old_file = dir.write("old.json", R"({"data": {"which": "old"}})");
    const std::string new_file = dir.write("new.json", R"({"data": {"which": "new"}})");
    set_mtime(old_file, 1000000);
    set_mtime(new_file, 2000000);
    const std::string path = write_cache("swapped", R"({"data": {"which": "old"}})", 1000000);
    const std::string temp = dir / "swap.tmp";
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        for (bool flip = false; !stop; flip = !flip) {
            ::link(flip ? new_file.c_str() : old_file.c_str(), temp.c_str());
            ::rename(temp.c_str(), path.c_str());
        }
    });
    int mismatches = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(700);
    for (int i = 0; std::chrono::steady_clock::now() < until; ++i) {
        G::clearcache();
        auto which = G::data("swapped", "which");
        auto mtime = G::get_cache_mtime("swapped");
        if (!which || !mtime)
            continue;
        if ((*which == "old") != (*mtime == 1000000))
            ++mismatches;
    }
    stop = true;
    swapper.join();
    EXPECT_EQ(mismatches, 0);
}

TEST_F(GlobalCacheTest, CachedCommandTrustsOnlyACacheNewerThanTheProgram) {
    const std::string program = dir.write("bin/tool", "#!/bin/true\n");
    set_mtime(program, 1000000);
    const std::string key = G::command_key(program, {"-v"});
    nlohmann::json cache = {{"command", {{key, "cached output"}}}};

    // ctime cannot be set back, so a cache from the past is older than the
    // program and the command runs; one from the future is trusted.
    write_cache("cmds", cache.dump(), 1500000);
    EXPECT_EQ(*G::cachedcommand("cmds", program, {"-v"}), "fresh output");
    EXPECT_EQ(ran.size(), 1u);

    G::clearcache();
    write_cache("cmds", cache.dump(), ::time(nullptr) + 3600);
    EXPECT_EQ(*G::cachedcommand("cmds", program, {"-v"}), "cached output");
    EXPECT_EQ(ran.size(), 1u);
    EXPECT_EQ(*G::cachedcommand("cmds", program, {"-x"}), "fresh output");  // not cached
    EXPECT_EQ(ran.back(), G::command_key(program, {"-x"}));
}

TEST_F(GlobalCacheTest, CachedMCommandHonoursTheMaximumAge) {
    const std::string program = "/bin/true";
    nlohmann::json cache = {{"command", {{G::command_key(program, {}), "cached"}}}};
    write_cache("m", cache.dump(), ::time(nullptr) - 100);
    EXPECT_EQ(*G::cachedmcommand("m", 3600, program), "cached");
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(*G::cachedmcommand("m", 10, program), "fresh output");
    EXPECT_EQ(ran.size(), 1u);
}

}  // namespace
