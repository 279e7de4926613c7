#include "Tavrel/Run/ServiceEnv.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Run/Timezones.h"
#include "testsupport/InChild.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <string>

namespace {

std::string env_or(const char* name, const char* fallback = "<unset>") {
    const char* v = std::getenv(name);
    return v ? v : fallback;
}
}  // namespace

TEST(DaemonEnv, CleanStartForEveryDaemon) {
    std::string text = Tavrel::TestSupport::text_from_child([] {
        setenv("TMP", "/home/bob/tmp", 1);
        setenv("TEMP", "/home/bob/tmp", 1);
        setenv("HOME", "/home/bob", 1);
        setenv("USER", "bob", 1);
        setenv("LD_LIBRARY_PATH", "/home/bob/lib", 1);
        setenv("NOTIFY_SOCKET", "/run/systemd/notify", 1);
        // What `su` without `-` from a site owner's shell leaves behind.
        setenv("TMPDIR", "/home/bob/tmp", 1);
        setenv("LANG", "xx_XX.UTF-8", 1);
        setenv("LC_ALL", "xx_XX.UTF-8", 1);
        setenv("LC_TIME", "xx_XX.UTF-8", 1);
        setenv("LOGNAME", "bob", 1);
        setenv("SHELL", "/bin/zsh", 1);
        setenv("PWD", "/home/bob", 1);
        if (chdir("/tmp") != 0)
            return std::string("chdir");
        Tavrel::Run::ServiceEnv::setup_env_for_starting_a_daemon();
        char cwd[PATH_MAX];
        std::string dir = getcwd(cwd, sizeof cwd) ? cwd : "?";
        return env_or("TMP") + "," + env_or("TEMP") + "," + env_or("HOME") + "," + env_or("USER") +
               "," + env_or("LD_LIBRARY_PATH") + "," + env_or("NOTIFY_SOCKET") + "," +
               env_or("ZIDAVOVEVA") + "," + env_or("TZ") + "," + dir + "|" + env_or("TMPDIR") +
               "," + env_or("LANG") + "," + env_or("LC_ALL") + "," + env_or("LC_TIME") + "," +
               env_or("LOGNAME") + "," + env_or("SHELL") + "," + env_or("PWD");
    });
    std::string tz = Tavrel::Run::Timezones::calculate_TZ_env();
    EXPECT_EQ(text, "<unset>,<unset>,/root,root,<unset>,/run/systemd/notify,1," + tz + ",/|" +
                        "<unset>,<unset>,<unset>,<unset>,root,<unset>,/");
}

TEST(DaemonEnv, UnreachableWorkingDirectoryIsFatal) {
    std::string text = Tavrel::TestSupport::text_from_child([] {
        Tavrel::Run::ServiceEnv::WORKING_DIRECTORY = "/nonexistent/dir";
        try {
            Tavrel::Run::ServiceEnv::setup_env_for_starting_a_daemon();
            return std::string("no exception");
        } catch (const Tavrel::Foundation::Exception& e) {
            return e.type_path() + ":" + std::to_string(e.error_number());
        }
    });
    EXPECT_EQ(text, "Io::ChdirFailed:" + std::to_string(ENOENT));
}
