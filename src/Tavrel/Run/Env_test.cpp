#include "Tavrel/Run/Env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {
// Restores the whole environment after each test.
class EnvTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (char** e = environ; e && *e; ++e)
            saved_.emplace_back(*e);
    }
    void TearDown() override {
        clearenv();
        for (const auto& entry : saved_) {
            auto eq = entry.find('=');
            setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
        }
    }
    static bool has(const char* name) { return std::getenv(name) != nullptr; }

  private:
    std::vector<std::string> saved_;
};
}  // namespace

TEST_F(EnvTest, KeepsOnlySafeVariablesPlusKeepMinusRemove) {
    setenv("LD_PRELOAD", "/tmp/evil.so", 1);
    setenv("BASH_ENV", "/tmp/x", 1);
    setenv("LANG", "C.UTF-8", 1);
    setenv("TERM", "xterm", 1);
    setenv("NOTIFY_SOCKET", "/run/systemd/notify", 1);
    Tavrel::Run::Env::clean_env({.keep = {{"NOTIFY_SOCKET"}}, .remove = {{"TERM"}}});
    EXPECT_FALSE(has("LD_PRELOAD"));
    EXPECT_FALSE(has("BASH_ENV"));
    EXPECT_TRUE(has("LANG"));
    EXPECT_TRUE(has("NOTIFY_SOCKET"));
    EXPECT_FALSE(has("TERM"));
    for (char** e = environ; e && *e; ++e) {
        std::string name(*e, std::string(*e).find('='));
        std::string list = " " + std::string(Tavrel::Run::Env::get_safe_env_vars()) + " ";
        EXPECT_TRUE(list.find(" " + name + " ") != std::string::npos || name == "NOTIFY_SOCKET")
            << name;
    }
}

TEST_F(EnvTest, HttpPurgeRemovesWebRequestMarkers) {
    setenv("REMOTE_USER", "bob", 1);
    setenv("SERVER_SOFTWARE", "httpd", 1);
    Tavrel::Run::Env::clean_env();
    EXPECT_TRUE(has("REMOTE_USER"));
    Tavrel::Run::Env::clean_env({.http_purge = true});
    EXPECT_FALSE(has("REMOTE_USER"));
    EXPECT_FALSE(has("SERVER_SOFTWARE"));
}

TEST_F(EnvTest, SafePath) {
    setenv("PATH", "/tmp/evil:/usr/bin", 1);
    EXPECT_EQ(Tavrel::Run::Env::set_safe_path(), Tavrel::Run::Env::get_safe_path());
    EXPECT_EQ(std::string(std::getenv("PATH")), std::string(Tavrel::Run::Env::get_safe_path()));
    EXPECT_EQ(std::string(Tavrel::Run::Env::get_safe_path()).find("/tmp"), std::string::npos);
}
