#include "Tavrel/Init/Systemd/Backend.h"
#include "Tavrel/Process/Proc/Cgroup.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/PlainError.h"
#include "testsupport/SystemdSandbox.h"
#include "testsupport/TempDir.h"
#include "testsupport/TestChild.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>

using Tavrel::TestSupport::TempDir;

namespace {

// A service as the backend sees it; it keeps every message.
class TestService : public Tavrel::Init::Service {
  public:
    std::string name = "tvt";
    int verbosity = 0;
    bool single_pid = true;
    std::string owner;
    std::string pid_file;
    std::string binary;
    std::vector<std::string> rules;
    std::optional<double> given_timeout;
    std::vector<std::string> debugs, infos;

    std::string service() override { return name; }
    std::string service_name() override { return name; }
    bool is_tavrel_service() override { return false; }
    std::string service_binary() override { return binary; }
    std::optional<std::vector<std::string>> startup_args() override { return std::nullopt; }
    std::optional<std::vector<std::string>> restart_args() override { return std::nullopt; }
    std::optional<std::vector<std::string>> shutdown_args() override { return std::nullopt; }
    std::string pidfile() override { return pid_file; }
    std::string pid_exe() override { return {}; }
    std::vector<std::string> doomed_rules() override { return rules; }
    std::string processowner() override { return owner; }
    std::string command_line_regex() override { return {}; }
    int verbose() override { return verbosity; }
    std::optional<double> given_command_timeout() override { return given_timeout; }
    bool has_single_pid() override { return single_pid; }
    bool end_own_listeners() override { return false; }
    void debug(const std::string& m) override { debugs.push_back(m); }
    void info(const std::string& m) override { infos.push_back(m); }
    void warn(const std::string& m) override { infos.push_back(m); }
};

// The backend runs a stand-in systemctl that logs its arguments and answers
// from files: <subcommand>.out (printed), <subcommand>.err (to standard
// error), <subcommand>.rc (exit code); a query of one property answers from
// show-<property>.*. A look at two properties (ActiveState and MainPID, or
// ActiveState and SubState) takes its answers ("STATE [PID [SUBSTATE [KILLMODE
// CGROUP]]]") one by one from look.seq. <subcommand>.sleep makes it sleep that long.
class SystemdBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ctl_ = Tavrel::Init::Systemd::gl_systemctl_binary;
        saved_run_dir_ = Tavrel::Config::OS::SYSTEMD_RUN_DIR;
        saved_interval_ = Tavrel::Init::Systemd::IS_ACTIVE_CONFIRM_INTERVAL;
        Tavrel::Init::Systemd::gl_systemctl_binary = dir_.write("systemctl", R"(#!/bin/sh
d=$(dirname "$0")
printf '%s\n' "$*" >>"$d/calls"
key=$1
[ "$1" = show ] && [ "$#" -eq 5 ] && key=show-$3
[ "$1" = show ] && [ "$3" = NRestarts ] && key=show-NRestarts
if [ "$1" = show ] && [ "$#" -ge 7 ] && [ "$3" = ActiveState ]; then
    set -- $(head -n 1 "$d/look.seq"); sed -i 1d "$d/look.seq"
    printf 'ActiveState=%s\nMainPID=%s\nSubState=%s\n' "$1" "${2:-0}" "${3:-}"
    [ -n "${4:-}" ] && printf 'KillMode=%s\nControlGroup=%s\n' "$4" "${5:-}"
    exit 0
fi
[ -f "$d/$key.sleep" ] && exec sleep $(cat "$d/$key.sleep")
[ -f "$d/$key.out" ] && cat "$d/$key.out"
[ -f "$d/$key.err" ] && cat "$d/$key.err" >&2
[ -f "$d/$key.kill" ] && kill -TERM $$
exit $(cat "$d/$key.rc" 2>/dev/null || echo 0)
)");
        ::chmod(Tavrel::Init::Systemd::gl_systemctl_binary.c_str(), 0755);
        Tavrel::Config::OS::SYSTEMD_RUN_DIR = dir_.path();
        Tavrel::Init::Systemd::IS_ACTIVE_CONFIRM_INTERVAL = 0.01;
    }
    void TearDown() override {
        Tavrel::Init::Systemd::gl_systemctl_binary = saved_ctl_;
        Tavrel::Config::OS::SYSTEMD_RUN_DIR = saved_run_dir_;
        Tavrel::Init::Systemd::IS_ACTIVE_CONFIRM_INTERVAL = saved_interval_;
    }
    void answer(const std::string& key, const std::string& out, int rc = 0,
                const std::string& err = "") {
        dir_.write(key + ".out", out);
        dir_.write(key + ".err", err);
        dir_.write(key + ".rc", std::to_string(rc));
    }
    void looks(const std::string& answers) { dir_.write("look.seq", answers); }
    std::vector<std::string> calls() {
        std::vector<std::string> lines;
        std::ifstream in(dir_ / "calls");
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        std::filesystem::remove(dir_ / "calls");
        return lines;
    }
    Tavrel::Init::Systemd::Backend backend(const std::string& active_state, const std::string& type = "simple") {
        return Tavrel::Init::Systemd::Backend({.service = "tvt",
                           .service_via_systemd = {{"ActiveState", active_state}, {"Type", type}}});
    }

    TempDir dir_;
    TestService svc_;
    std::string saved_ctl_, saved_run_dir_;
    double saved_interval_ = 0;
};

}  // namespace

TEST_F(SystemdBackend, RefusesARunStartedByInit) {
    try {
        Tavrel::Init::Systemd::Backend b({.service = "cron", .started_by_init = true});
        ADD_FAILURE() << "constructed for a run started by init";
    } catch (const Tavrel::Foundation::PlainError& e) {
        EXPECT_NE(std::string(e.what()).find("“cron”"), std::string::npos) << e.what();
    }
    Tavrel::Init::Systemd::Backend fine({.service = "cron", .service_via_systemd = {{"Type", "simple"}}});
    EXPECT_EQ(fine.class_name(), "Tavrel::ServiceManager::Manager::Systemd");
    EXPECT_EQ(fine.service_via_systemd()->at("Type"), "simple");
    EXPECT_FALSE(fine.this_process_was_executed_by_systemd());
    EXPECT_FALSE(fine.restart(svc_));  // none: the core stops, then starts
}

TEST_F(SystemdBackend, StartReportsWhyItFailed) {
    auto b = backend("inactive");
    answer("restart", "", 0);
    EXPECT_TRUE(b.start(svc_));
    EXPECT_TRUE(svc_.infos.empty());  // quiet unless debugging
    svc_.verbosity = 2;
    EXPECT_TRUE(b.start(svc_));
    EXPECT_EQ(svc_.infos, std::vector<std::string>{"systemd started “tvt.service”."});
    EXPECT_EQ(calls(), (std::vector<std::string>(2, "restart --no-ask-password -- tvt.service")));

    svc_.infos.clear();
    answer("restart", "out line\n", 1,
           "Job for tvt.service failed because the control process exited with error code.\n");
    EXPECT_FALSE(b.start(svc_));
    ASSERT_EQ(svc_.infos.size(), 1u);
    const std::string& m = svc_.infos[0];
    const auto unit = m.find("“tvt.service”"), code = m.find("exited with code 1"),
               out = m.find("out line"),
               err = m.find("Job for tvt.service failed");
    EXPECT_NE(unit, std::string::npos) << m;
    EXPECT_NE(code, std::string::npos) << m;
    EXPECT_LT(code, out) << m;  // the autopsy, then what systemctl printed
    EXPECT_NE(out, std::string::npos) << m;
    EXPECT_NE(err, std::string::npos) << m;

    // Only a start systemd refuses for the unit's start limit gets a hint:
    // any other failure is the daemon's, shown by its startup log.
    answer("show-Result", "Result=exit-code\n");
    EXPECT_EQ(b.start_refusal_hint(svc_), "");
    answer("show-Result", "Result=start-limit-hit\n");
    EXPECT_NE(b.start_refusal_hint(svc_).find("systemctl reset-failed tvt.service"),
              std::string::npos);
}

TEST_F(SystemdBackend, AStopThatMustLastStopsTheSocketsThatWouldStartTheServiceAgain) {
    auto b = backend("active");
    answer("stop", "");
    answer("show-TriggeredBy", "TriggeredBy=syslog.socket tvt-clean.timer bad;name.socket\n");
    EXPECT_EQ(b.stop_triggers(svc_), true);
    EXPECT_EQ(calls(), (std::vector<std::string>{"show -p TriggeredBy -- tvt.service",
                                                 "stop -- syslog.socket"}));
    answer("show-TriggeredBy", "TriggeredBy=\n");
    EXPECT_EQ(b.stop_triggers(svc_), true);
    EXPECT_EQ(calls(), std::vector<std::string>{"show -p TriggeredBy -- tvt.service"});
    answer("show-TriggeredBy", "TriggeredBy=syslog.socket\n");
    answer("stop", "", 1);
    EXPECT_EQ(b.stop_triggers(svc_), false);
}

TEST_F(SystemdBackend, StopAndReload) {
    auto b = backend("active");
    answer("stop", "");
    answer("reload", "");
    EXPECT_TRUE(b.stop(svc_));
    EXPECT_TRUE(b.stop(svc_, "socket"));
    EXPECT_EQ(b.reload(svc_), true);
    EXPECT_EQ(calls(), (std::vector<std::string>{"stop -- tvt.service", "stop -- tvt.socket",
                                                 "reload -- tvt.service"}));
    EXPECT_EQ(svc_.debugs.size(), 3u);

    svc_.debugs.clear();
    answer("stop", "", 5, "Failed to stop tvt.service: Unit tvt.service not loaded.\n");
    answer("reload", "", 1);
    EXPECT_FALSE(b.stop(svc_));
    EXPECT_EQ(b.reload(svc_), false);
    ASSERT_EQ(svc_.debugs.size(), 2u);
    EXPECT_NE(svc_.debugs[0].find("exit code 5"), std::string::npos) << svc_.debugs[0];
    EXPECT_NE(svc_.debugs[1].find("“tvt.service”"), std::string::npos) << svc_.debugs[1];

    // A systemctl ended by a signal has not stopped anything.
    answer("stop", "", 0);
    dir_.write("stop.kill", "");
    EXPECT_FALSE(b.stop(svc_));
    EXPECT_NE(svc_.debugs.back().find("SIGTERM"), std::string::npos) << svc_.debugs.back();
}

// systemd starts a masked unit for nobody: the start is refused before the
// running service is stopped, saying how to lift it.
TEST_F(SystemdBackend, AMaskedUnitBlocksEveryStart) {
    Tavrel::Init::Systemd::Backend masked(
        {.service = "tvt.service", .service_via_systemd = {{"Id", "tvt.service"}, {"LoadState", "masked"}}});
    EXPECT_NE(masked.start_blocker().find("systemctl unmask tvt.service"), std::string::npos)
        << masked.start_blocker();
    EXPECT_EQ(backend("active").start_blocker(), "");
}

// What a stop left is what systemd still counts of the unit: its state and
// main process from one look, and every process of its control group.
TEST_F(SystemdBackend, WhatRemainsOfAUnitAfterAStop) {
    const auto saved_trees = Tavrel::Process::Proc::Cgroup::CONTROL_GROUP_TREES;
    Tavrel::Process::Proc::Cgroup::CONTROL_GROUP_TREES = {dir_ / "cgroup"};
    dir_.write("cgroup/system.slice/tvt.service/cgroup.procs", "301\n");
    dir_.write("cgroup/system.slice/tvt.service/job/cgroup.procs", "302\n");
    auto b = backend("active");
    looks("deactivating 301 stop-sigterm process /system.slice/tvt.service\n"
          "inactive 0 dead control-group /system.slice/gone.service\n");
    const auto stopping = b.remains(svc_);
    ASSERT_TRUE(stopping);
    EXPECT_EQ(stopping->unit, "tvt.service");
    EXPECT_FALSE(stopping->at_rest);
    EXPECT_EQ(stopping->sub_state, "stop-sigterm");
    EXPECT_EQ(stopping->main_pid, 301);
    EXPECT_EQ(stopping->pids, (std::vector<pid_t>{301, 302}));
    EXPECT_TRUE(stopping->main_process_only);
    const auto stopped = b.remains(svc_);
    ASSERT_TRUE(stopped);
    EXPECT_TRUE(stopped->at_rest);
    EXPECT_FALSE(stopped->main_pid);
    EXPECT_TRUE(stopped->pids.empty());
    EXPECT_FALSE(stopped->main_process_only);
    EXPECT_EQ(calls(), std::vector<std::string>(
                           2, "show -p ActiveState -p SubState -p MainPID -p KillMode -p ControlGroup -- tvt.service"));
    Tavrel::Process::Proc::Cgroup::CONTROL_GROUP_TREES = saved_trees;
}

// A unit that is not up may still have something under way that a stop
// must end; only inactive and failed have nothing.
TEST_F(SystemdBackend, OnlyAUnitAtRestHasNothingUnderWay) {
    auto b = backend("inactive");
    looks("activating 0 start\nactivating 0 auto-restart\ndeactivating 0 stop-sigterm\n"
          "inactive 0 dead\nfailed 0 failed\n\n");
    for (const char* state : {"activating (start)", "activating (auto-restart)", "deactivating"})
        EXPECT_TRUE(b.is_under_way(svc_)) << state;
    EXPECT_NE(svc_.debugs.back().find("deactivating (stop-sigterm)"), std::string::npos)
        << svc_.debugs.back();
    EXPECT_FALSE(b.is_under_way(svc_)) << "inactive";
    EXPECT_FALSE(b.is_under_way(svc_)) << "failed";
    EXPECT_TRUE(b.is_under_way(svc_)) << "a unit systemd said nothing of";
    EXPECT_EQ(calls(), std::vector<std::string>(6, "show -p ActiveState -p SubState -- tvt.service"));
}

// A systemctl that waits for a job is ended at its bound: the unit's own
// time-outs for the job plus a margin, or the administrator's
// command_timeout. The run then fails, saying what state the unit is in.
TEST_F(SystemdBackend, ACallThatOutlastsItsBoundFailsSayingWhatStateTheUnitIsIn) {
    namespace Sd = Tavrel::Init::Systemd::Systemctl;
    const double saved_margin = Sd::CALL_MARGIN;
    Sd::CALL_MARGIN = 0.2;
    struct Case {
        const char* subcommand;
        const char* look;
        std::function<void(Tavrel::Init::Systemd::Backend&)> call;
        const char* failure;
        const char* says;
    } cases[] = {
        // A start restarts: the stop's and the start's time-outs.
        {"restart", "activating 0 start", [&](auto& b) { b.start(svc_); }, "StartError",
         "did not finish starting “tvt.service” within 0.4 seconds: the unit is activating (start)"},
        {"stop", "deactivating 0 stop-sigterm", [&](auto& b) { b.stop(svc_); }, "StopError",
         "stopping “tvt.service” within 0.3 seconds: the unit is deactivating (stop-sigterm)"},
        // systemd runs a reload under the start time-out.
        {"reload", "reloading 0 reload", [&](auto& b) { b.reload(svc_); }, "ReloadError",
         "reloading “tvt.service” within 0.3 seconds: the unit is reloading (reload)"},
    };
    using Clock = std::chrono::steady_clock;
    for (const auto& c : cases) {
        Tavrel::Init::Systemd::Backend b(
            {.service = "tvt",
             .service_via_systemd = {{"TimeoutStartUSec", "100ms"}, {"TimeoutStopUSec", "100ms"}}});
        dir_.write(std::string(c.subcommand) + ".sleep", "10");
        looks(std::string(c.look) + "\n");
        const auto start = Clock::now();
        try {
            c.call(b);
            ADD_FAILURE() << c.subcommand << " outlasted its bound without a failure";
        } catch (const Tavrel::Foundation::Exception& e) {
            EXPECT_EQ(e.type_path(), std::string("Services::") + c.failure);
            EXPECT_NE(e.get_text("hint").find(c.says), std::string::npos) << e.get_text("hint");
            EXPECT_NE(e.get_text("hint").find("command_timeout"), std::string::npos);
        }
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500)) << c.subcommand;
        std::filesystem::remove(dir_ / (std::string(c.subcommand) + ".sleep"));
    }
    Sd::CALL_MARGIN = saved_margin;

    // The administrator's command_timeout holds whatever the unit says.
    Tavrel::Init::Systemd::Backend endless(
        {.service = "tvt", .service_via_systemd = {{"TimeoutStartUSec", "infinity"}}});
    svc_.given_timeout = 0.3;
    dir_.write("restart.sleep", "10");
    looks("activating 0 start\n");
    const auto start = Clock::now();
    EXPECT_THROW(endless.start(svc_), Tavrel::Foundation::Exception);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
}

TEST_F(SystemdBackend, IsActiveConfirmsAChange) {
    using Clock = std::chrono::steady_clock;
    struct Case {
        const char* captured;
        const char* answers;
        bool result;
        std::size_t looks;
    } cases[] = {
        {"active", "active\n", true, 1},  // agrees: no second look
        {"inactive", "failed\n", false, 1},
        {"active", "reloading\n", true, 1},
        {"active", "deactivating\ninactive\n", false, 2},  // went down: one more look
        {"active", "inactive\nactive\nactive\n", true, 3},  // came back
        {"inactive", "active\nactive\nactive\n", true, 3},  // came up: two more looks
        {"inactive", "active\ninactive\n", false, 2},      // flickered
        {"inactive", "active\nactive\nactivating\n", false, 3},
    };
    for (const auto& c : cases) {
        auto b = backend(c.captured);
        looks(c.answers);
        const auto start = Clock::now();
        EXPECT_EQ(b.is_active(svc_), c.result) << c.captured << " " << c.answers;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
        auto seen = calls();
        EXPECT_EQ(seen.size(), c.looks) << c.captured << " " << c.answers;
        EXPECT_EQ(seen.front(), "show -p ActiveState -p MainPID -p SubState -- tvt.service");
        EXPECT_NE(svc_.debugs.back().find(c.result ? "is active" : "is not active"),
                  std::string::npos);
    }
    // A map without ActiveState counts as not active before.
    Tavrel::Init::Systemd::Backend bare({.service = "tvt"});
    looks("inactive\n");
    EXPECT_FALSE(bare.is_active(svc_));
    EXPECT_EQ(calls().size(), 1u);
}

// The snapshot taken when the backend was chosen answers the looks right
// after it (an inactive one only the first); never one after the backend
// acted on the unit, never a stale or incomplete one.
TEST_F(SystemdBackend, AJustTakenSnapshotAnswersTheLooksRightAfterIt) {
    namespace TC = Tavrel::TestSupport::TestChild;
    const std::string name = TC::unique_name("tvtsnap");
    auto child = TC::spawn("/bin/sleep", {name, "30"});
    svc_.name = name;
    const std::string pid = std::to_string(child.pid());
    auto current = [&](Tavrel::Init::UnitProperties props) {
        return Tavrel::Init::Systemd::Backend({.service = name, .service_via_systemd = std::move(props),
                           .snapshot_is_current = true});
    };
    const Tavrel::Init::UnitProperties running = {{"ActiveState", "active"}, {"MainPID", pid}};

    auto b = current(running);
    EXPECT_NE(b.status_helper(svc_).value().find(pid), std::string::npos);
    EXPECT_TRUE(b.is_active(svc_)) << "the stop of a restart asks right after its status";
    EXPECT_TRUE(calls().empty()) << "the fresh snapshot was asked again";

    // A wait polls a unit that is not up yet: each poll asks. Once a look
    // found it up (confirmed), that look answers the next question.
    auto down = current({{"ActiveState", "inactive"}, {"MainPID", "0"}});
    EXPECT_FALSE(down.is_active(svc_));
    looks("activating\nactive " + pid + "\nactive " + pid + "\nactive " + pid + "\n");
    EXPECT_FALSE(down.is_active(svc_)) << "a wait's second poll must ask systemd";
    EXPECT_TRUE(down.is_active(svc_));
    EXPECT_EQ(calls().size(), 4u);
    EXPECT_TRUE(down.is_active(svc_));
    EXPECT_TRUE(calls().empty()) << "an active look was asked again right after";

    auto acted = current(running);
    EXPECT_TRUE(acted.stop(svc_));
    looks("inactive\ninactive\ninactive\n");
    EXPECT_FALSE(acted.is_active(svc_)) << "a look after a stop came from before it";

    auto no_pid = current({{"ActiveState", "active"}});
    looks("inactive\ninactive\ninactive\n");
    EXPECT_FALSE(no_pid.is_active(svc_));

    const double saved = Tavrel::Init::Systemd::SNAPSHOT_FRESH_SECONDS;
    Tavrel::Init::Systemd::SNAPSHOT_FRESH_SECONDS = 0;
    auto stale = current(running);
    looks("inactive\ninactive\ninactive\n");
    EXPECT_FALSE(stale.is_active(svc_)) << "a stale snapshot stood for a look";
    Tavrel::Init::Systemd::SNAPSHOT_FRESH_SECONDS = saved;

    // Not marked as just taken: every look asks, as before.
    Tavrel::Init::Systemd::Backend plain({.service = name, .service_via_systemd = running});
    looks("inactive\ninactive\ninactive\n");
    EXPECT_FALSE(plain.is_active(svc_));
}

// What a start's confirmation asks systemd: whether the unit is done with
// the start (failed or inactive, not while systemd restarts it), and what
// two looks a moment apart compare.
TEST_F(SystemdBackend, WhatTheStartConfirmationIsTold) {
    auto b = backend("inactive");
    for (const auto& [state, over] : std::vector<std::pair<std::string, bool>>{
             {"failed", true}, {"inactive", true}, {"activating", false}, {"active", false},
             {"deactivating", false}}) {
        answer("show-ActiveState", "ActiveState=" + state + "\n");
        EXPECT_EQ(b.start_is_over(svc_), over) << state;
    }
    EXPECT_EQ(calls().back(), "show -p ActiveState -- tvt.service");

    answer("show-NRestarts", "NRestarts=3\nMainPID=4242\n");
    auto marks = b.start_marks(svc_);
    ASSERT_TRUE(marks);
    EXPECT_EQ(marks->restarts, 3);
    EXPECT_EQ(marks->main_pid, 4242);
    EXPECT_EQ(calls().back(), "show -p NRestarts -p MainPID -p ActiveState -p SubState -- tvt.service");
    // A unit without a main process, and a systemd that does not count.
    answer("show-NRestarts", "MainPID=0\n");
    marks = b.start_marks(svc_);
    EXPECT_FALSE(marks->restarts);
    EXPECT_FALSE(marks->main_pid);

    // The marks' look is the wait's first look, and a unit captured as
    // inactive that it finds active is still confirmed by the looks after it.
    answer("show-NRestarts", "NRestarts=1\nMainPID=4242\nActiveState=active\n");
    b.start_marks(svc_);
    calls();
    looks("active 4242\nactive 4242\n");
    EXPECT_TRUE(b.is_active(svc_));
    EXPECT_EQ(calls().size(), 2u);
    EXPECT_TRUE(b.is_active(svc_));
    EXPECT_TRUE(calls().empty()) << "a confirmed look was asked again right after";
    auto up = backend("active");
    up.start_marks(svc_);
    calls();
    EXPECT_TRUE(up.is_active(svc_));
    EXPECT_TRUE(calls().empty()) << "the marks' look was asked again";
}

TEST_F(SystemdBackend, RestartAttemptKillsLeftoversOnlyFirst) {
    auto b = backend("active");
    svc_.rules = {"tavrel-no-such-process-" + std::to_string(::getpid())};
    EXPECT_EQ(b.restart_attempt(svc_, 2), true);
    EXPECT_TRUE(svc_.debugs.empty());
    EXPECT_EQ(b.restart_attempt(svc_, 1), true);
    EXPECT_EQ(svc_.debugs.size(), 1u);
    svc_.rules.clear();
    svc_.debugs.clear();
    EXPECT_EQ(b.restart_attempt(svc_, 1), true);
    EXPECT_TRUE(svc_.debugs.empty());
}

TEST_F(SystemdBackend, StatusText) {
    namespace TC = Tavrel::TestSupport::TestChild;
    const std::string name = TC::unique_name("tvtsd");
    auto one = TC::spawn("/bin/sleep", {name, "30"});
    auto two = TC::spawn("/bin/sleep", {name, "31"});
    svc_.name = name;
    Tavrel::Init::Systemd::Backend b({.service = name, .service_via_systemd = {{"ActiveState", "active"}}});
    // Every status text below comes from a look of its own.
    const double saved_fresh = Tavrel::Init::Systemd::SNAPSHOT_FRESH_SECONDS;
    Tavrel::Init::Systemd::SNAPSHOT_FRESH_SECONDS = -1;

    // Not active: no text, nothing else asked.
    looks("inactive\ninactive\n");
    EXPECT_EQ(b.status_helper(svc_), "");
    EXPECT_EQ(calls().size(), 2u);

    // One process: systemd's main pid, confirmed through /proc. The look of
    // is_active brought it: one systemctl run for the whole text.
    looks("active " + std::to_string(one.pid()) + "\n");
    const std::string text = b.status_helper(svc_).value();
    EXPECT_NE(text.find(std::to_string(one.pid())), std::string::npos) << text;
    EXPECT_NE(text.find("systemd"), std::string::npos) << text;
    EXPECT_EQ(calls().size(), 1u);
    // No main pid in that look: asked for on its own.
    looks("active 0\n");
    answer("show-MainPID", "MainPID=" + std::to_string(two.pid()) + "\n");
    EXPECT_NE(b.status_helper(svc_).value().find(std::to_string(two.pid())), std::string::npos);
    EXPECT_EQ(calls().size(), 2u);
    // Being stopped, its main process still there: it runs; without one, not.
    looks("deactivating " + std::to_string(one.pid()) + "\n" + "deactivating " +
          std::to_string(one.pid()) + "\n");
    EXPECT_NE(b.status_helper(svc_).value().find(std::to_string(one.pid())), std::string::npos);
    looks("deactivating 0\ndeactivating 0\n");
    EXPECT_EQ(b.status_helper(svc_), "");
    calls();
    // Being started: the processes of its program in its group run, a
    // pre-start script's do not; without its program it cannot tell.
    auto script = TC::spawn("/bin/sh", {"-c", "sleep 30; :"});
    const std::string group = "  CGroup: /system.slice/x.service\n    |-" + std::to_string(script.pid()) +
                              " /bin/sh -c sleep\n    `-" + std::to_string(one.pid()) + " /bin/sleep 30\n";
    svc_.binary = "/bin/sleep";
    looks("activating 0\nactivating 0\n");
    answer("status", group);
    const std::string starting = b.status_helper(svc_).value();
    EXPECT_NE(starting.find("PID " + std::to_string(one.pid())), std::string::npos) << starting;
    EXPECT_EQ(starting.find("PID " + std::to_string(script.pid())), std::string::npos) << starting;
    looks("activating 0\nactivating 0\n");
    answer("status", "  CGroup: /system.slice/x.service\n    `-" + std::to_string(script.pid()) + " /bin/sh\n");
    EXPECT_EQ(b.status_helper(svc_), "");
    // Before the program is started, its process is the unit's configuration
    // test (sshd's `sshd -t`): not the service.
    looks("activating 0 start-pre\nactivating 0 start-pre\n");
    answer("status", group);
    EXPECT_EQ(b.status_helper(svc_), "");
    looks("activating 0 start\nactivating 0 start\n");
    EXPECT_NE(b.status_helper(svc_).value().find("PID " + std::to_string(one.pid())), std::string::npos);
    svc_.binary.clear();
    looks("activating 0\nactivating 0\n");
    EXPECT_EQ(b.status_helper(svc_), "");
    calls();

    // Several processes: one line for each in the control group.
    svc_.single_pid = false;
    looks("active " + std::to_string(one.pid()) + "\n");
    answer("status", "  CGroup: /system.slice/x.service\n    |-" + std::to_string(one.pid()) +
                         " /bin/sleep 30\n    `-" + std::to_string(two.pid()) + " /bin/sleep 31\n");
    const std::string both = b.status_helper(svc_).value();
    EXPECT_NE(both.find(std::to_string(one.pid())), std::string::npos) << both;
    EXPECT_NE(both.find(std::to_string(two.pid())), std::string::npos) << both;
    EXPECT_NE(both.find('\n'), std::string::npos) << both;
    EXPECT_EQ(calls().size(), 2u);
    Tavrel::Init::Systemd::SNAPSHOT_FRESH_SECONDS = saved_fresh;
}

// A main process whose command line reads like this tool's own (a daemon
// called zidavoveva_something) is the service when it runs the service's
// program.
TEST_F(SystemdBackend, StatusTextOfAMainProcessRunningTheServicesProgram) {
    namespace TC = Tavrel::TestSupport::TestChild;
    const std::string name = TC::unique_name("tvtsd");
    auto daemon = TC::spawn("/bin/sleep", {"/usr/local/sbin/zidavoveva_" + name, "30"});
    svc_.name = name;
    Tavrel::Init::Systemd::Backend b({.service = name, .service_via_systemd = {{"ActiveState", "active"}}});
    looks("active " + std::to_string(daemon.pid()) + "\n");
    EXPECT_EQ(b.status_helper(svc_), "");
    svc_.binary = "/bin/sleep";
    looks("active " + std::to_string(daemon.pid()) + "\n");
    const std::string text = b.status_helper(svc_).value();
    EXPECT_NE(text.find("PID " + std::to_string(daemon.pid())), std::string::npos) << text;
}

// The backend against a real systemd (skipped outside the sandbox of
// tests/e2e/checks/systemd-backend).
namespace {

namespace Box = Tavrel::TestSupport::SystemdSandbox;
namespace Sd = Tavrel::Init::Systemd::Systemctl;

class SystemdSandboxBackend : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!Box::inside())
            return;
        Box::write_unit("tvtm-simple.service",
                        "[Service]\nExecStart=/bin/sleep 2001\nExecReload=/bin/true\n");
        Box::write_unit("tvtm-multi.service",
                        "[Service]\nExecStart=/bin/sh -c '/bin/sleep 2002 & /bin/sleep 2003 & "
                        "exec /bin/sleep 2004'\n");
        Box::write_unit("tvtm-fail.service",
                        "[Service]\nType=oneshot\nExecStart=/bin/sh -c 'echo tvtm-boom >&2; "
                        "exit 3'\n");
        Box::write_unit("tvtm-oneshot.service",
                        "[Service]\nType=oneshot\nRemainAfterExit=yes\nExecStart=/bin/true\n");
        ASSERT_EQ(Box::systemctl({"daemon-reload"}), 0);
    }
    void SetUp() override {
        if (!Box::inside())
            GTEST_SKIP() << Box::WHY_SKIPPED;
        saved_interval_ = Tavrel::Init::Systemd::IS_ACTIVE_CONFIRM_INTERVAL;
        Tavrel::Init::Systemd::IS_ACTIVE_CONFIRM_INTERVAL = 0.05;
    }
    void TearDown() override {
        if (Box::inside())
            Tavrel::Init::Systemd::IS_ACTIVE_CONFIRM_INTERVAL = saved_interval_;
    }
    // The backend as the service core would choose it.
    static Tavrel::Init::Systemd::Backend chosen(const std::string& unit) {
        auto props = Sd::has_service_via_systemd(unit);
        EXPECT_TRUE(props) << unit;
        return Tavrel::Init::Systemd::Backend({.service = unit, .service_via_systemd = props.value_or(Sd::UnitProperties{})});
    }
    double saved_interval_ = 0;
};

}  // namespace

TEST_F(SystemdSandboxBackend, StartStopReloadAndStatus) {
    TestService svc;
    svc.name = "tvtm-simple";
    svc.owner = "root";
    auto b = chosen("tvtm-simple");
    EXPECT_FALSE(b.is_active(svc));
    EXPECT_EQ(b.status_helper(svc), "");

    ASSERT_TRUE(b.start(svc));
    EXPECT_EQ(Box::systemctl({"is-active", "--quiet", "tvtm-simple"}), 0);
    const auto pid = Sd::get_pid_via_systemd("tvtm-simple");
    ASSERT_TRUE(pid);
    // Captured inactive, now active: believed after two more looks.
    EXPECT_TRUE(b.is_active(svc));
    const std::string text = b.status_helper(svc).value();
    EXPECT_NE(text.find(std::to_string(*pid)), std::string::npos) << text;
    EXPECT_NE(text.find("/bin/sleep 2001"), std::string::npos) << text;

    // start on a running unit restarts it.
    ASSERT_TRUE(b.start(svc));
    EXPECT_NE(Sd::get_pid_via_systemd("tvtm-simple"), pid);
    EXPECT_EQ(b.reload(svc), true);

    EXPECT_TRUE(b.stop(svc));
    EXPECT_EQ(Sd::get_status_via_systemd("tvtm-simple"), "inactive");
    EXPECT_EQ(b.status_helper(svc), "");

    // No reload command, no such unit: systemctl says no.
    auto multi = chosen("tvtm-multi");
    EXPECT_EQ(multi.reload(svc), false);
    Tavrel::Init::Systemd::Backend missing({.service = "tvtm-nosuch"});
    EXPECT_FALSE(missing.stop(svc));
    EXPECT_FALSE(missing.start(svc));
}

TEST_F(SystemdSandboxBackend, FailedStartSaysWhy) {
    TestService svc;
    svc.name = "tvtm-fail";
    auto b = chosen("tvtm-fail");
    EXPECT_FALSE(b.start(svc));
    ASSERT_EQ(svc.infos.size(), 1u);
    EXPECT_NE(svc.infos[0].find("“tvtm-fail.service”"), std::string::npos) << svc.infos[0];
    EXPECT_NE(svc.infos[0].find("Job for tvtm-fail.service failed"), std::string::npos)
        << svc.infos[0];
}

TEST_F(SystemdSandboxBackend, StatusOfSeveralProcessesAndOfAOneShot) {
    TestService svc;
    svc.name = "sleep";
    svc.single_pid = false;
    auto multi = chosen("tvtm-multi");
    ASSERT_TRUE(multi.start(svc));
    // Captured inactive and a stale snapshot: the status still comes from now.
    const std::string text = multi.status_helper(svc).value();
    for (const char* arg : {"/bin/sleep 2002", "/bin/sleep 2003", "/bin/sleep 2004"})
        EXPECT_NE(text.find(arg), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;

    TestService one;
    one.name = "tvtm-oneshot";
    ASSERT_EQ(Box::systemctl({"start", "tvtm-oneshot"}), 0);
    auto oneshot = chosen("tvtm-oneshot");
    EXPECT_NE(oneshot.status_helper(one).value().find("tvtm-oneshot is running"),
              std::string::npos);
    ASSERT_TRUE(oneshot.stop(one));
    EXPECT_EQ(oneshot.status_helper(one), "");

    // An umbrella unit whose service runs elsewhere (a database's instance
    // unit): the status is that of the service's own process, by its pid file.
    TempDir tmp;
    namespace TC = Tavrel::TestSupport::TestChild;
    auto server = TC::spawn("/bin/sleep", {TC::unique_name("tvtm-db"), "30"});
    TestService db;
    db.name = "tvtm-oneshot";
    db.owner = "root";
    db.pid_file = tmp.write("db.pid", std::to_string(server.pid()) + "\n");
    ASSERT_EQ(Box::systemctl({"start", "tvtm-oneshot"}), 0);
    auto umbrella = chosen("tvtm-oneshot");
    const std::string running = umbrella.status_helper(db).value();
    EXPECT_NE(running.find("with PID " + std::to_string(server.pid())), std::string::npos)
        << running;
    // The umbrella is active, the server is not: the service is down.
    server.stop();
    EXPECT_EQ(umbrella.status_helper(db), "");
    ASSERT_TRUE(umbrella.stop(db));
}
