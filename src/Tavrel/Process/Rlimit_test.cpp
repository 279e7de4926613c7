#include "Tavrel/Process/Rlimit.h"

#include "Tavrel/Config/LoadTvConf.h"
#include "Tavrel/Config/TvConfGuard.h"
#include "Tavrel/Process/Maxmem.h"
#include "Tavrel/Process/Rlimit/Unset.h"
#include "Tavrel/Process/Rlimit/Syscall.h"
#include "testsupport/FakeProc.h"
#include "testsupport/InChild.h"
#include "testsupport/TempDir.h"
#include "testsupport/TestChild.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <sstream>

namespace Rl = Tavrel::Process::Rlimit;
namespace Sys = Tavrel::Process::Rlimit::Syscall;

namespace {

// Points the configuration and the domain count at fixed answers for one test.
class RlimitPolicy : public ::testing::Test {
  protected:
    void SetUp() override {
        // Within what this process may set: the current hard limit of open files.
        proc_.write(Rl::NR_OPEN_FILE, std::to_string(Sys::getrlimit("NOFILE").second));
        saved_config_ = Rl::config_value;
        saved_domains_ = Tavrel::Process::Maxmem::count_user_domains;
        Rl::config_value = [this](std::string_view key) -> std::optional<std::string> {
            auto it = config_.find(std::string(key));
            return it == config_.end() ? std::nullopt : std::optional<std::string>(it->second);
        };
        Tavrel::Process::Maxmem::count_user_domains = [this] { return domains_; };
    }
    void TearDown() override {
        Rl::config_value = saved_config_;
        Tavrel::Process::Maxmem::count_user_domains = saved_domains_;
    }
    std::map<std::string, std::string> config_;
    std::optional<std::uint64_t> domains_;

  private:
    // The real process file system but for the kernel's maximum.
    Tavrel::TestSupport::FakeProc proc_{Tavrel::TestSupport::FakeProc::MIRROR};
    decltype(Rl::config_value) saved_config_;
    decltype(Tavrel::Process::Maxmem::count_user_domains) saved_domains_;
};

}  // namespace

TEST_F(RlimitPolicy, MemoryCeilingFollowsMaxmemNeverBelowTheDefault) {
    const std::uint64_t mib = 1048576;
    EXPECT_EQ(Rl::get_server_setting_or_default().limit_bytes,
              4096 * mib);  // no key, unknown count
    domains_ = 30000;
    EXPECT_EQ(Tavrel::Process::Maxmem::default_mib(), 16384u);
    EXPECT_EQ(Rl::get_server_setting_or_default().limit_bytes, 16384 * mib);
    domains_ = 9999;
    config_["maxmem"] = "0";
    EXPECT_EQ(Rl::get_server_setting_or_default().limit_bytes, Sys::INFINITE_LIMIT);
    config_["maxmem"] = "";
    EXPECT_EQ(Rl::get_server_setting_or_default().limit_bytes, Sys::INFINITE_LIMIT);
    config_["maxmem"] = "1024";
    EXPECT_EQ(Rl::get_server_setting_or_default().limit_bytes, 4096 * mib);
    config_["maxmem"] = "8192";
    EXPECT_EQ(Rl::get_server_setting_or_default().limit_bytes, 8192 * mib);
    config_["maxmem"] = "lots";  // a typo keeps the default instead of lifting the limit
    EXPECT_EQ(Rl::get_server_setting_or_default().limit_bytes, 4096 * mib);
}

TEST_F(RlimitPolicy, CoreLimitFollowsTheCoredumpKey) {
    config_["maxmem"] = "8192";
    const std::uint64_t limit = 8192ull * 1048576;
    for (auto [value, expect_core] :
         std::vector<std::pair<const char*, bool>>{{"0", false}, {"", false}, {"1", true}}) {
        config_["coredump"] = value;
        int code = Tavrel::TestSupport::in_child([&, expect_core = expect_core] {
            if (!Rl::set_rlimit())
                return 1;
            auto [as_soft, as_hard] = Sys::getrlimit("AS");
            auto [core_soft, core_hard] = Sys::getrlimit("CORE");
            const std::uint64_t as = Rl::ADDRESS_SPACE_CEILING ? limit : Rl::INFINITE_LIMIT;
            if (as_soft != as || as_hard != as)
                return 2;
            std::uint64_t want = expect_core ? limit : 0;
            if (core_soft != want || core_hard != want)
                return 3;
            // Any other set_rlimit call sets CORE the same way.
            if (!Rl::set_open_files_to_maximum())
                return 4;
            return Sys::getrlimit("CORE").first == (expect_core ? Rl::max_open_files() : 0) ? 0 : 5;
        });
        EXPECT_EQ(code, 0) << "coredump=" << value;
    }
}

TEST_F(RlimitPolicy, RestoreSkipsMalformedEntriesAndReportsThem) {
    int code = Tavrel::TestSupport::in_child([] {
        auto before = Rl::get_current_rlimits();
        bool ok = Rl::restore_rlimits({{"RSS", {1 << 29, 1 << 30}}, {"AS", {5}}});
        if (ok)
            return 1;  // the malformed AS entry makes it false
        if (Sys::getrlimit("RSS") != std::pair<std::uint64_t, std::uint64_t>{1 << 29, 1 << 30})
            return 2;
        if (Sys::getrlimit("AS") != before["AS"])
            return 3;
        return Rl::restore_rlimits({{"RSS", {1 << 28, 1 << 30}}}) ? 0 : 4;
    });
    EXPECT_EQ(code, 0);
}

TEST_F(RlimitPolicy, KernelRefusalsAreCollectedNotThrown) {
    // An unprivileged process cannot raise a hard limit: set_min_rlimit answers
    // false and leaves the process running.
    int code = Tavrel::TestSupport::in_child([] {
        Sys::setrlimit("RSS", 1 << 20, 1 << 20);
        if (geteuid() == 0 && setuid(65534) != 0)
            return 1;
        return Rl::set_min_rlimit(1 << 30) ? 2 : 0;
    });
    EXPECT_EQ(code, 0);
}

TEST_F(RlimitPolicy, UnsetLiftsWhatTheCallerLowered) {
    // The caller lowered soft limits (as a shell's ulimit does); the hard
    // limits stay where this process may raise the soft ones back.
    config_["maxmem"] = "0";
    int code = Tavrel::TestSupport::in_child([] {
        Tavrel::Process::Rlimit::Unset::NOFILE_MIN_HARD = Sys::getrlimit("NOFILE").second;
        for (const char* name : {"CPU", "FSIZE", "DATA", "AS"}) {
            Sys::setrlimit(name, 1 << 24, Sys::getrlimit(name).second);
        }
        Sys::setrlimit("NOFILE", 64, Sys::getrlimit("NOFILE").second);
        if (!Tavrel::Process::Rlimit::Unset::unset_rlimits())
            return 1;
        for (const char* name : {"CPU", "FSIZE", "DATA", "AS"}) {
            if (Sys::getrlimit(name).second == Sys::INFINITE_LIMIT &&
                Sys::getrlimit(name).first != Sys::INFINITE_LIMIT)
                return 2;
        }
        if (Sys::getrlimit("NOFILE").first < 1024)
            return 3;
        return Sys::getrlimit("CORE").first == 0 ? 0 : 4;
    });
    EXPECT_EQ(code, 0);
}

TEST(RlimitOpenFiles, KernelMaximumOrFallback) {
    {
        Tavrel::TestSupport::FakeProc proc;
        proc.write(Rl::NR_OPEN_FILE, "65536\n");
        EXPECT_EQ(Rl::max_open_files(), 65536u);
    }
    {
        Tavrel::TestSupport::FakeProc missing;
        EXPECT_EQ(Rl::max_open_files(), Rl::NR_OPEN_FALLBACK);
    }
    EXPECT_EQ(Rl::limit_text(Sys::INFINITE_LIMIT), "unlimited");
}

namespace {

// The soft and hard values of one line of /proc/<pid>/limits ("Max core file size").
std::pair<std::string, std::string> proc_limit(pid_t pid, const std::string& name) {
    std::istringstream in(Tavrel::TestSupport::TempDir::read("/proc/" + std::to_string(pid) +
                                                            "/limits"));
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(name + " ")) {
            std::istringstream fields(line.substr(name.size()));
            std::string soft, hard;
            fields >> soft >> hard;
            return {soft, hard};
        }
    }
    return {};
}

}  // namespace

// The keys come from the real configuration file, read as every run reads it
// (no lookup replaced), and reach the daemon that is started.
TEST(RlimitConfiguration, StartedDaemonGetsTheConfiguredLimits) {
    if (::geteuid() != 0 && (Sys::getrlimit("AS").second != Sys::INFINITE_LIMIT ||
                             Sys::getrlimit("CORE").second != Sys::INFINITE_LIMIT))
        GTEST_SKIP() << "needs root or unlimited hard limits to lift AS and CORE";
    namespace Config = Tavrel::Config;
    const std::string saved_file = Config::TvConfGuard::TVCONF_FILE;
    const std::string saved_cache = Config::TvConfGuard::TVCONF_CACHE_FILE;
    const auto saved_value = Rl::config_value;
    const auto saved_domains = Tavrel::Process::Maxmem::count_user_domains;
    Rl::config_value = Rl::read_config_key;
    Tavrel::Process::Maxmem::count_user_domains = [] { return std::optional<std::uint64_t>(); };

    struct Case {
        std::string conf, as, core;
    };
    for (const Case& c : {Case{"maxmem=0\ncoredump=1\n", "unlimited", "unlimited"},
                          Case{"# bigger than the default\nmaxmem = 8192\ncoredump=0\n",
                               "8589934592", "0"}}) {
        Tavrel::TestSupport::TempDir dir;
        Config::TvConfGuard::TVCONF_FILE = dir.write("tavrel.conf", c.conf);
        Config::TvConfGuard::TVCONF_CACHE_FILE = dir / "tavrel.conf.cache";
        // The daemon: limits set in the starting process, then the program run.
        pid_t pid = ::fork();
        if (pid == 0) {
            Tavrel::Config::LoadTvConf::clearcache();
            (void)Tavrel::Process::Rlimit::Unset::unset_rlimits();
            ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        Tavrel::TestSupport::TestChild::wait_exec(pid, "sleep");
        const std::string as = Rl::ADDRESS_SPACE_CEILING ? c.as : "unlimited";
        EXPECT_EQ(proc_limit(pid, "Max address space"), std::make_pair(as, as)) << c.conf;
        EXPECT_EQ(proc_limit(pid, "Max resident set"), std::make_pair(c.as, c.as)) << c.conf;
        EXPECT_EQ(proc_limit(pid, "Max core file size"), std::make_pair(c.core, c.core)) << c.conf;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    Config::TvConfGuard::TVCONF_FILE = saved_file;
    Config::TvConfGuard::TVCONF_CACHE_FILE = saved_cache;
    Rl::config_value = saved_value;
    Tavrel::Process::Maxmem::count_user_domains = saved_domains;
}
