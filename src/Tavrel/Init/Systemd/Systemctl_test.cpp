#include "Tavrel/Init/Systemd/Systemctl.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Foundation/PlainError.h"
#include "testsupport/InChild.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

namespace Sd = Tavrel::Init::Systemd::Systemctl;
using Tavrel::TestSupport::TempDir;

namespace {

// Output captured from systemctl 252 (LANG=C, TZ=UTC) on units of a test
// machine: see testdata/systemd/.
std::string sample(const std::string& name) {
    const auto path =
        std::filesystem::path(TAVREL_SOURCE_DIR) / "Tavrel/Init/Systemd/testdata/systemd" / name;
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<pid_t> pids(std::initializer_list<pid_t> list) {
    return list;
}

}  // namespace

TEST(SystemdParse, UnitNameGetsTheSuffixOnce) {
    EXPECT_EQ(Sd::unit_name("cron"), "cron.service");
    EXPECT_EQ(Sd::unit_name("cron.service"), "cron.service");
    EXPECT_EQ(Sd::unit_name(".service"), ".service.service");
    EXPECT_EQ(Sd::unit_name("a.socket"), "a.socket.service");
}

TEST(SystemdParse, ShowOutput) {
    auto p = Sd::parse_show(sample("show_running.txt"));
    EXPECT_EQ(p["Type"], "simple");
    EXPECT_EQ(p["MainPID"], "106");
    EXPECT_EQ(p["LoadState"], "loaded");
    EXPECT_EQ(p["ActiveState"], "active");
    EXPECT_EQ(p["SubState"], "running");
    EXPECT_EQ(p["FragmentPath"], "/run/systemd/system/tvt-multi.service");
    // A value keeps its own equals signs: this unit's pid file is named so.
    EXPECT_EQ(p["PIDFile"], "/run/tvt=multi.pid");

    auto odd = Sd::parse_show(
        "Type=forking\n=nokey\nWarning: unit changed on disk=x\nNoValue\nEmpty=\nDash-Key=1\n"
        "Last=a=b=c");
    EXPECT_EQ(odd.size(), 4u);
    EXPECT_EQ(odd["Type"], "forking");
    EXPECT_EQ(odd["NoValue"], "");
    EXPECT_EQ(odd["Empty"], "");
    EXPECT_EQ(odd["Last"], "a=b=c");
    EXPECT_TRUE(Sd::parse_show("").empty());
}

TEST(SystemdParse, ShowOfSeveralUnitsGivesABlockEach) {
    // As systemd 252 answers `show -p Id -p LoadState -p MainPID` of three
    // units, the second unknown to it.
    const auto blocks = Sd::parse_show_blocks(
        "MainPID=0\nId=postgresql.service\nLoadState=loaded\n\n"
        "MainPID=0\nId=nonexist.service\nLoadState=not-found\n\n"
        "MainPID=45\nId=systemd-journald.service\nLoadState=loaded\n");
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[1].at("LoadState"), "not-found");
    EXPECT_EQ(blocks[2].at("MainPID"), "45");
    EXPECT_EQ(Sd::parse_show_blocks("Id=a.service\n").size(), 1u);
    EXPECT_TRUE(Sd::parse_show_blocks("").empty());
}

TEST(SystemdParse, UnitListGivesEachUnitsName) {
    // systemctl 252's list-units --all --plain --no-legend --full: a unit
    // only referred to ("ghost"), one whose file was removed while it runs
    // ("gone"), a transient and an instance; the marked line is as a
    // terminal shows a failed unit, in case a systemctl marks it so.
    const auto names = Sd::parse_unit_list(sample("list_units.txt"));
    ASSERT_EQ(names.size(), 11u);
    EXPECT_EQ(names.front(), "auditd.service");
    for (const char* name : {"ghost.service", "gone.service", "transient1.service",
                             "getty@tty1.service", "broken.service"})
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
    EXPECT_TRUE(Sd::parse_unit_list("\n").empty());
}

TEST(SystemdParse, UsableUnits) {
    // Real units: a packaged one, a runtime one, an unknown and a generated one.
    EXPECT_TRUE(Sd::is_usable_unit(Sd::parse_show(sample("show_journald.txt"))));
    EXPECT_TRUE(Sd::is_usable_unit(Sd::parse_show(sample("show_running.txt"))));
    EXPECT_FALSE(Sd::is_usable_unit(Sd::parse_show(sample("show_not_found.txt"))));
    EXPECT_FALSE(Sd::is_usable_unit(Sd::parse_show(sample("show_generated.txt"))));

    auto with_fragment = [](const std::string& path) {
        return Sd::is_usable_unit({{"LoadState", "loaded"}, {"FragmentPath", path}});
    };
    EXPECT_TRUE(with_fragment("/usr/lib/systemd/system/httpd.service"));
    EXPECT_TRUE(with_fragment("/etc/systemd/system/cpanel.service"));
    EXPECT_TRUE(with_fragment("/dev/null"));  // masked: still systemd's
    EXPECT_TRUE(with_fragment(""));           // known, without a file
    EXPECT_FALSE(with_fragment("/run/systemd/generator/named.service"));
    EXPECT_FALSE(with_fragment("/etc/systemd/systemx/evil.service"));
    EXPECT_FALSE(with_fragment("/etc/systemd/system/"));
    EXPECT_FALSE(with_fragment("/home/user/x.service"));
    EXPECT_TRUE(Sd::is_usable_unit({}));
}

TEST(SystemdParse, Pids) {
    EXPECT_EQ(Sd::parse_pid("2"), 2);
    EXPECT_EQ(Sd::parse_pid("4194304"), 4194304);
    for (const char* bad : {"", "0", "1", "-5", "12a", " 12", "1234567890"})
        EXPECT_EQ(Sd::parse_pid(bad), std::nullopt) << bad;
}

TEST(SystemdParse, ControlGroupProcesses) {
    EXPECT_EQ(Sd::parse_cgroup_pids(sample("status_multi.txt")), pids({106, 108, 109}));
    EXPECT_EQ(Sd::parse_cgroup_pids(sample("status_multi_utf8.txt")), pids({106, 108, 109}));
    EXPECT_EQ(Sd::parse_cgroup_pids(sample("status_journald.txt")), pids({41}));
    // Journal lines after the blank line are not processes.
    EXPECT_EQ(Sd::parse_cgroup_pids(sample("status_forking_full.txt")), pids({103, 104}));
    EXPECT_EQ(Sd::parse_cgroup_pids(sample("status_killed_term.txt")), pids({}));
    EXPECT_EQ(Sd::parse_cgroup_pids(""), pids({}));
    EXPECT_EQ(Sd::parse_cgroup_pids("     CGroup: /system.slice/x.service\n"), pids({}));
    // A sub-group line ends the list.
    EXPECT_EQ(Sd::parse_cgroup_pids("  CGroup: /x\n    |-7 a b\n    `-sub\n      `-9 c\n"),
              pids({7}));
    EXPECT_EQ(Sd::parse_cgroup_pids("Loaded: not-found\n  CGroup: /x\n    `-7 a\n"), pids({}));
}

TEST(SystemdParse, ExitCodeAndSignal) {
    using T = Sd::CodeAndSignal;
    using std::nullopt;
    EXPECT_EQ(Sd::parse_code_and_signal(sample("status_killed_term.txt")),
              T("inactive", "killed", "TERM"));
    EXPECT_EQ(Sd::parse_code_and_signal(sample("status_exited.txt")),
              T("inactive", "exited", nullopt));
    EXPECT_EQ(Sd::parse_code_and_signal(sample("status_oneshot.txt")),
              T("active", "exited", nullopt));
    EXPECT_EQ(Sd::parse_code_and_signal(sample("status_multi.txt")), T("active", nullopt, nullopt));
    EXPECT_EQ(Sd::parse_code_and_signal(""), T(nullopt, nullopt, nullopt));
    EXPECT_EQ(Sd::parse_code_and_signal("   Main PID: 7 (code=dumped, signal=SEGV)\n"),
              T(nullopt, "dumped", "SEGV"));
}

// The functions run a stand-in systemctl: it logs its environment and
// arguments, and answers from files the test writes (<subcommand>.out/.rc;
// "show-mainpid" for the single-property query; <subcommand>.then replaces
// show.out, as a stop or restart changes the unit).
class SystemdQueries : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ctl_ = Sd::SYSTEMCTL;
        saved_run_dir_ = Tavrel::Config::OS::SYSTEMD_RUN_DIR;
        Sd::SYSTEMCTL = dir_.write("systemctl", R"(#!/bin/sh
d=$(dirname "$0")
printf '%s\n' "LANG=$LANG TZ=$TZ $*" >>"$d/calls"
key=$1
[ "$1" = show ] && [ "$#" -eq 5 ] && key=show-mainpid
[ -f "$d/$key.out" ] && cat "$d/$key.out"
[ -f "$d/$key.then" ] && cp "$d/$key.then" "$d/show.out"
exit $(cat "$d/$key.rc" 2>/dev/null || echo 0)
)");
        ::chmod(Sd::SYSTEMCTL.c_str(), 0755);
        Tavrel::Config::OS::SYSTEMD_RUN_DIR = dir_.path();  // exists: "systemd runs"
    }
    void TearDown() override {
        Sd::SYSTEMCTL = saved_ctl_;
        Tavrel::Config::OS::SYSTEMD_RUN_DIR = saved_run_dir_;
    }
    void answer(const std::string& key, const std::string& out, int rc = 0) {
        dir_.write(key + ".out", out);
        dir_.write(key + ".rc", std::to_string(rc));
    }
    std::vector<std::string> calls() {
        std::vector<std::string> lines;
        std::ifstream in(dir_ / "calls");
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        std::filesystem::remove(dir_ / "calls");
        return lines;
    }

    TempDir dir_;
    std::string saved_ctl_, saved_run_dir_;
};

TEST_F(SystemdQueries, PropertyQueryInNeutralLocaleForTheChildOnly) {
    // This process's own LANG and TZ, put back when the test ends.
    struct Keep {
        const char* name;
        std::optional<std::string> value;
        explicit Keep(const char* n) : name(n) {
            if (const char* v = ::getenv(n))
                value = v;
        }
        ~Keep() { value ? (void)::setenv(name, value->c_str(), 1) : (void)::unsetenv(name); }
    } keep_lang("LANG"), keep_tz("TZ");
    ::setenv("LANG", "de_DE.UTF-8", 1);
    ::setenv("TZ", "Europe/Berlin", 1);
    answer("show", sample("show_running.txt"));
    auto props = Sd::get_service_info_via_systemd("tvt-multi");
    EXPECT_EQ(props["MainPID"], "106");
    EXPECT_EQ(calls(), std::vector<std::string>{
                           "LANG=C TZ=UTC show -p Id -p Type -p LoadState -p ActiveState -p "
                           "SubState -p MainPID -p PIDFile -p FragmentPath -p UnitFileState -p "
                           "Result -p ExecMainCode -p ExecMainStatus -p TimeoutStartUSec -p "
                           "TimeoutStopUSec -- tvt-multi.service"});
    EXPECT_STREQ(::getenv("LANG"), "de_DE.UTF-8");
    // A name is never taken for an option.
    (void)Sd::get_pids_via_systemd("--help");
    EXPECT_EQ(calls(), std::vector<std::string>{"LANG=C TZ=UTC status --lines=0 -- --help.service"});
    EXPECT_STREQ(::getenv("TZ"), "Europe/Berlin");

    // A failing or silent systemctl is an empty map.
    answer("show", "", 1);
    EXPECT_TRUE(Sd::get_service_info_via_systemd("x").empty());
    Sd::SYSTEMCTL = dir_ / "missing";
    EXPECT_TRUE(Sd::get_service_info_via_systemd("x").empty());
}

// A systemctl that cannot reach systemd answers nothing. For an account
// other than root (no system bus on the server) that is no unit: its
// processes decide, so a running daemon does not read as down. Root's
// systemctl talks to systemd directly; for root nothing changes.
TEST_F(SystemdQueries, NoAnswerToAnAccountOtherThanRootIsNoUnit) {
    answer("show", "", 1);
    if (::geteuid() == 0) {
        EXPECT_TRUE(Sd::has_service_via_systemd("cron"));
    }
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    const int status = Tavrel::TestSupport::in_child([] {
        if (::geteuid() == 0 && ::setresuid(65534, 65534, 65534) != 0)
            return 2;
        return Sd::has_service_via_systemd("cron") ? 1 : 0;
    });
    EXPECT_EQ(status, 0);
}

TEST_F(SystemdQueries, UsableServiceNeedsSystemdAndAUnitOfItsOwn) {
    answer("show", sample("show_journald.txt"));
    auto props = Sd::has_service_via_systemd("systemd-journald");
    ASSERT_TRUE(props);
    EXPECT_EQ((*props)["MainPID"], "41");
    EXPECT_FALSE(Sd::has_service_via_systemd(""));
    answer("show", sample("show_generated.txt"));
    EXPECT_FALSE(Sd::has_service_via_systemd("tvtgen"));
    answer("show", sample("show_not_found.txt"));
    EXPECT_FALSE(Sd::has_service_via_systemd("tvt-nosuch"));
    calls();

    // Without systemd nothing is asked.
    Tavrel::Config::OS::SYSTEMD_RUN_DIR = dir_ / "absent";
    answer("show", sample("show_journald.txt"));
    EXPECT_FALSE(Sd::has_service_via_systemd("systemd-journald"));
    EXPECT_TRUE(calls().empty());
    EXPECT_THROW(Sd::get_pid_via_systemd("x"), Tavrel::Foundation::PlainError);
    EXPECT_THROW(Sd::get_status_via_systemd("x"), Tavrel::Foundation::PlainError);
    EXPECT_THROW(Sd::stop_via_systemd("x"), Tavrel::Foundation::PlainError);
    EXPECT_THROW(Sd::restart_via_systemd("x"), Tavrel::Foundation::PlainError);
}

TEST_F(SystemdQueries, MainPidAndItsFallbacks) {
    answer("show-mainpid", sample("show_mainpid.txt"));
    EXPECT_EQ(Sd::get_pid_via_systemd("tvt-multi"), 106);
    EXPECT_EQ(calls().size(), 1u);  // the cheap query alone

    // MainPID=0 on an active running unit: the first control-group process,
    // not a digit of the unit's name in the title line.
    answer("show-mainpid", sample("show_mainpid_zero.txt"));
    answer("status", "* php8.2-fpm.service - PHP 8.2\n" + sample("status_forking_full.txt"));
    EXPECT_EQ(Sd::get_pid_via_systemd("tvt-fork", Sd::parse_show(sample("show_forking.txt"))),
              103);
    auto seen = calls();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], "LANG=C TZ=UTC status --lines=0 -- tvt-fork.service");

    // The map is queried when none is given; a failed query, an inactive
    // unit or an unusable MainPID ends in nothing.
    answer("show-mainpid", "", 1);
    answer("show", sample("show_forking.txt"));
    EXPECT_EQ(Sd::get_pid_via_systemd("tvt-fork"), 103);
    answer("show", sample("show_oneshot.txt"));
    EXPECT_EQ(Sd::get_pid_via_systemd("tvt-oneshot"), std::nullopt);
    answer("show-mainpid", "MainPID=1\n");
    EXPECT_EQ(Sd::get_pid_via_systemd("x", Sd::UnitProperties{}), std::nullopt);

    // Last comes the unit's pid file, trusted while its process runs.
    const std::string pidfile = dir_.write("x.pid", std::to_string(::getpid()) + "\n");
    Sd::UnitProperties inactive{{"LoadState", "loaded"}, {"ActiveState", "inactive"},
                                {"PIDFile", pidfile}};
    EXPECT_EQ(Sd::get_pid_via_systemd("x", inactive), ::getpid());
    Sd::UnitProperties active{{"LoadState", "loaded"}, {"ActiveState", "active"},
                              {"MainPID", "0"}, {"SubState", "start"}, {"PIDFile", pidfile}};
    EXPECT_EQ(Sd::get_pid_via_systemd("x", active), ::getpid());
    dir_.write("x.pid", "1\n");
    EXPECT_EQ(Sd::get_pid_via_systemd("x", active), std::nullopt);
}

TEST_F(SystemdQueries, ControlGroupAndExitQueries) {
    answer("status", sample("status_multi.txt"));
    EXPECT_EQ(Sd::get_pids_via_systemd("tvt-multi.service"), pids({106, 108, 109}));
    answer("status", sample("status_killed_term.txt"), 3);
    EXPECT_EQ(Sd::get_code_and_signal_via_systemd("tvt-held"),
              Sd::CodeAndSignal("inactive", "killed", "TERM"));
    answer("status", "", 4);
    EXPECT_EQ(Sd::get_pids_via_systemd("tvt-nosuch"), pids({}));
    EXPECT_EQ(calls(), (std::vector<std::string>{
                           "LANG=C TZ=UTC status --lines=0 -- tvt-multi.service",
                           "LANG=C TZ=UTC status --lines=0 -- tvt-held.service",
                           "LANG=C TZ=UTC status --lines=0 -- tvt-nosuch.service"}));
}

TEST_F(SystemdQueries, StopAndRestart) {
    const std::string active = "LoadState=loaded\nActiveState=active\nMainPID=200\n";
    const std::string inactive = "LoadState=loaded\nActiveState=inactive\nMainPID=0\n";

    answer("show", active);
    dir_.write("stop.then", inactive);
    EXPECT_EQ(Sd::stop_via_systemd("tvt"), "inactive");
    EXPECT_EQ(calls()[1], "LANG=C TZ=UTC stop -- tvt.service");
    EXPECT_EQ(Sd::get_status_via_systemd("tvt"), "inactive");
    calls();

    answer("show", inactive);
    dir_.write("restart.then", "LoadState=loaded\nActiveState=active\nMainPID=300\n");
    EXPECT_EQ(Sd::restart_via_systemd("tvt"), std::make_pair(std::optional<std::string>("active"),
                                                             std::optional<std::string>("300")));
    EXPECT_EQ(calls()[1], "LANG=C TZ=UTC restart -- tvt.service");

    // systemctl failed: the state, no pid.
    answer("show", inactive);
    dir_.write("restart.then", "LoadState=loaded\nActiveState=failed\nMainPID=0\n");
    answer("restart", "", 1);
    EXPECT_EQ(Sd::restart_via_systemd("tvt"),
              std::make_pair(std::optional<std::string>("failed"), std::optional<std::string>()));

    // Not loaded: nothing is stopped or restarted.
    answer("show", sample("show_not_found.txt"));
    calls();
    EXPECT_EQ(Sd::stop_via_systemd("tvt-nosuch"), std::nullopt);
    EXPECT_EQ(Sd::restart_via_systemd("tvt-nosuch"),
              std::make_pair(std::optional<std::string>(), std::optional<std::string>()));
    EXPECT_EQ(Sd::get_status_via_systemd("tvt-nosuch"), std::nullopt);
    EXPECT_EQ(calls().size(), 3u);
}

// Time spans as systemctl show prints them, and the bounds of the calls that
// wait for a unit's job: its time-outs plus the margin, never beyond the
// longest bound, which is also that of a unit that waits for ever.
TEST(SystemctlBounds, TimeSpansAndCallBounds) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<const char*, std::optional<double>> spans[] = {
        {"1min 30s", 90},      {"90s", 90},          {"100ms", 0.1},   {"2h 5min", 7500},
        {"1.500000s", 1.5},    {"1d 12h", 129600},   {"500us", 0.0005}, {"infinity", inf},
        {"0", inf},            {"", std::nullopt},   {"90 s", std::nullopt},
        {"1fortnight", std::nullopt},              {"-5s", std::nullopt},
    };
    for (const auto& [text, seconds] : spans) {
        const auto got = Sd::parse_timespan(text);
        ASSERT_EQ(got.has_value(), seconds.has_value()) << text;
        if (seconds) {
            EXPECT_DOUBLE_EQ(*got, *seconds) << text;
        }
    }

    const Sd::UnitProperties usual = {{"TimeoutStartUSec", "1min 30s"},
                                      {"TimeoutStopUSec", "1min 30s"}};
    EXPECT_DOUBLE_EQ(Sd::call_bound(usual, {"TimeoutStartUSec"}), 105);
    EXPECT_DOUBLE_EQ(Sd::call_bound(usual, {"TimeoutStopUSec", "TimeoutStartUSec"}), 195);
    const Sd::UnitProperties slow = {{"TimeoutStartUSec", "5min"}, {"TimeoutStopUSec", "10s"}};
    EXPECT_DOUBLE_EQ(Sd::call_bound(slow, {"TimeoutStartUSec"}), Sd::CALL_BOUND_MAX);
    EXPECT_DOUBLE_EQ(Sd::call_bound(slow, {"TimeoutStopUSec"}), 25);
    const Sd::UnitProperties oneshot = {{"TimeoutStartUSec", "infinity"}};
    EXPECT_DOUBLE_EQ(Sd::call_bound(oneshot, {"TimeoutStartUSec"}), Sd::CALL_BOUND_MAX);
    EXPECT_DOUBLE_EQ(Sd::call_bound({}, {"TimeoutStopUSec"}), Sd::CALL_BOUND_MAX);
}

TEST(SystemdUnitFiles, TheIdIsTheNameTheFileResolvesTo) {
    TempDir lib, etc;
    const auto saved = Sd::UNIT_FILE_DIRS;
    Sd::UNIT_FILE_DIRS = {lib.path() + "/", etc.path() + "/"};
    std::ofstream(lib.path() + "/ssh.service") << "[Service]\n";
    // Debian's alias of the SSH server, a link in another directory.
    std::filesystem::create_symlink(lib.path() + "/ssh.service", etc.path() + "/sshd.service");
    std::filesystem::create_symlink("/dev/null", etc.path() + "/masked.service");
    std::filesystem::create_symlink(lib.path() + "/gone.service", etc.path() + "/dangling.service");
    EXPECT_EQ(Sd::unit_id_from_files("ssh"), "ssh.service");
    EXPECT_EQ(Sd::unit_id_from_files("sshd"), "ssh.service");
    EXPECT_EQ(Sd::unit_id_from_files("sshd.service"), "ssh.service");
    EXPECT_EQ(Sd::unit_id_from_files("masked"), "");
    EXPECT_EQ(Sd::unit_id_from_files("dangling"), "");
    EXPECT_EQ(Sd::unit_id_from_files("nounit"), "");
    Sd::UNIT_FILE_DIRS = saved;
}
