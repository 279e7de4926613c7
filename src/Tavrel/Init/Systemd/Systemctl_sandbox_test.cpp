// The unit queries against a real systemd (skipped outside the sandbox).
#include "Tavrel/Init/Systemd/Systemctl.h"

#include "Tavrel/Foundation/LoadFile.h"
#include "testsupport/SystemdSandbox.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

namespace Sd = Tavrel::Init::Systemd::Systemctl;
namespace Box = Tavrel::TestSupport::SystemdSandbox;

namespace {

std::string cmdline(pid_t pid) {
    auto raw = Tavrel::Foundation::LoadFile::loadfile("/proc/" + std::to_string(pid) + "/cmdline");
    std::string text = raw.value_or("");
    for (char& c : text)
        if (c == '\0')
            c = ' ';
    return text;
}

std::string state(const std::string& unit) {
    return Sd::get_service_info_via_systemd(unit)["ActiveState"];
}

class SystemdSandboxQueries : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!Box::inside())
            return;
        Box::write_unit("tvtq-multi.service",
                        "[Service]\nExecStart=/bin/sh -c '/bin/sleep 1001 & /bin/sleep 1002 & "
                        "exec /bin/sleep 1003'\n");
        // Held by a target, so systemd keeps how their main process ended.
        Box::write_unit("tvtq-term.service", "[Service]\nExecStart=/bin/sleep 1000\n");
        Box::write_unit("tvtq-exit.service", "[Service]\nExecStart=/bin/sh -c 'exit 0'\n");
        Box::write_unit("tvtq-hold.target",
                        "[Unit]\nWants=tvtq-term.service tvtq-exit.service\n");
        Box::write_unit("tvtq-restart.service", "[Service]\nExecStart=/bin/sleep 1004\n");
        // An init script: systemd makes a unit of it under /run/systemd/generator.late.
        Box::write_file("/etc/init.d/tvtqgen",
                        "#!/bin/sh\n### BEGIN INIT INFO\n# Provides: tvtqgen\n"
                        "# Default-Start: 2 3 4 5\n# Default-Stop:\n### END INIT INFO\nexit 0\n",
                        true);
        ASSERT_EQ(Box::systemctl({"daemon-reload"}), 0);
        ASSERT_EQ(Box::systemctl({"start", "tvtq-multi.service", "tvtq-hold.target"}), 0);
    }
    void SetUp() override {
        if (!Box::inside())
            GTEST_SKIP() << Box::WHY_SKIPPED;
    }
};

}  // namespace

TEST_F(SystemdSandboxQueries, PropertiesAndUsableUnits) {
    auto props = Sd::get_service_info_via_systemd("tvtq-multi");
    EXPECT_EQ(props["LoadState"], "loaded");
    EXPECT_EQ(props["ActiveState"], "active");
    EXPECT_EQ(props["Type"], "simple");
    EXPECT_EQ(props["FragmentPath"], "/run/systemd/system/tvtq-multi.service");

    // A packaged unit, a runtime unit, no unit, and a unit made from an init script.
    auto journald = Sd::has_service_via_systemd("systemd-journald.service");
    ASSERT_TRUE(journald);
    EXPECT_EQ((*journald)["FragmentPath"].rfind("/lib/systemd/system/", 0), 0u)
        << (*journald)["FragmentPath"];
    EXPECT_TRUE(Sd::has_service_via_systemd("tvtq-multi"));
    EXPECT_FALSE(Sd::has_service_via_systemd("tvtq-nosuch"));
    EXPECT_EQ(Sd::get_service_info_via_systemd("tvtqgen")["FragmentPath"],
              "/run/systemd/generator.late/tvtqgen.service");
    EXPECT_FALSE(Sd::has_service_via_systemd("tvtqgen"));
    EXPECT_EQ(Sd::get_status_via_systemd("tvtq-nosuch"), std::nullopt);
    EXPECT_EQ(Sd::get_status_via_systemd("tvtq-multi"), "active");
}

TEST_F(SystemdSandboxQueries, MainPidAndControlGroup) {
    auto main = Sd::get_pid_via_systemd("tvtq-multi");
    ASSERT_TRUE(main);
    EXPECT_EQ(cmdline(*main), "/bin/sleep 1003 ");
    auto all = Sd::get_pids_via_systemd("tvtq-multi.service");
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all.front(), *main);
    std::vector<std::string> commands;
    for (pid_t pid : all)
        commands.push_back(cmdline(pid));
    std::sort(commands.begin(), commands.end());
    EXPECT_EQ(commands, (std::vector<std::string>{"/bin/sleep 1001 ", "/bin/sleep 1002 ",
                                                  "/bin/sleep 1003 "}));
    EXPECT_TRUE(Sd::get_pids_via_systemd("tvtq-nosuch").empty());
    EXPECT_EQ(Sd::get_pid_via_systemd("tvtq-nosuch"), std::nullopt);
}

TEST_F(SystemdSandboxQueries, HowTheMainProcessEnded) {
    auto pid = Sd::get_pid_via_systemd("tvtq-term");
    ASSERT_TRUE(pid);
    ASSERT_EQ(::kill(*pid, SIGTERM), 0);
    ASSERT_TRUE(Box::wait_for([] { return state("tvtq-term") == "inactive"; }));
    EXPECT_EQ(Sd::get_code_and_signal_via_systemd("tvtq-term"),
              Sd::CodeAndSignal("inactive", "killed", "TERM"));

    ASSERT_TRUE(Box::wait_for([] { return state("tvtq-exit") == "inactive"; }));
    EXPECT_EQ(Sd::get_code_and_signal_via_systemd("tvtq-exit"),
              Sd::CodeAndSignal("inactive", "exited", std::nullopt));
}

// A listing's questions, asked of a Batch: the answers each question gets
// alone, from one systemctl run instead of one per question.
TEST_F(SystemdSandboxQueries, ABatchAnswersAsEachQuestionWouldFromOneRun) {
    const std::string count = "/run/tvtq-systemctl-runs";
    Box::write_file("/run/tvtq-systemctl", "#!/bin/sh\necho \"$*\" >> " + count +
                                               "\nexec /bin/systemctl \"$@\"\n", true);
    const std::string saved = Sd::SYSTEMCTL;
    Sd::SYSTEMCTL = "/run/tvtq-systemctl";
    auto runs = [&] {
        const std::string text = Tavrel::Foundation::LoadFile::loadfile(count).value_or("");
        ::unlink(count.c_str());
        return std::count(text.begin(), text.end(), '\n');
    };
    // An alias asked by its own name, as a word's unit may be.
    ::unlink("/etc/systemd/system/tvtq-alias.service");
    ASSERT_EQ(::symlink("/run/systemd/system/tvtq-multi.service",
                        "/etc/systemd/system/tvtq-alias.service"), 0);
    // A unit whose file was removed while it runs, and an instance of a
    // template: no file of their own names them.
    Box::write_file("/etc/systemd/system/tvtq-gone.service", "[Service]\nExecStart=/bin/sleep 1005\n");
    Box::write_unit("tvtq-tpl@.service", "[Service]\nExecStart=/bin/sleep 1006\n");
    ASSERT_EQ(Box::systemctl({"daemon-reload"}), 0);
    ASSERT_EQ(Box::systemctl({"start", "tvtq-gone.service", "tvtq-tpl@one.service"}), 0);
    ::unlink("/etc/systemd/system/tvtq-gone.service");
    const std::vector<std::string> units = {"tvtq-multi", "tvtq-nosuch", "tvtq-alias",
                                            "systemd-journald.service", "tvtqgen", "tvtq-gone",
                                            "tvtq-tpl@one"};
    auto answers = [&] {
        std::vector<std::string> seen;
        for (const auto& unit : units) {
            const auto has = Sd::has_service_via_systemd(unit);
            const auto props = Sd::get_properties_via_systemd(unit, {"ActiveState", "MainPID"});
            const auto pid = Sd::get_pid_via_systemd(unit, has);
            seen.push_back(unit + " " + (has ? has->at("Id") + has->at("UnitFileState") : "-") + " " +
                           props.at("ActiveState") + " " + props.at("MainPID") + " " +
                           (pid ? std::to_string(*pid) : "-"));
        }
        return seen;
    };
    runs();
    const auto alone = answers();
    EXPECT_GE(runs(), 10);
    EXPECT_NE(alone[5].find(" active "), std::string::npos) << alone[5];
    EXPECT_NE(alone[6].find(" active "), std::string::npos) << alone[6];
    {
        const Sd::Batch batch(units);
        EXPECT_EQ(runs(), 2);  // what systemd holds, then what it says of them
        EXPECT_EQ(answers(), alone);
        EXPECT_EQ(runs(), 0);
        // A property the batch did not take is asked of systemd.
        EXPECT_FALSE(Sd::get_properties_via_systemd("tvtq-multi", {"TriggeredBy"}).empty());
        EXPECT_EQ(runs(), 1);
    }
    EXPECT_EQ(answers(), alone);
    EXPECT_GE(runs(), 10);
    Sd::SYSTEMCTL = saved;
    ::unlink("/etc/systemd/system/tvtq-alias.service");
    Box::systemctl({"stop", "tvtq-gone.service", "tvtq-tpl@one.service"});
}

TEST_F(SystemdSandboxQueries, RestartAndStop) {
    auto [state1, pid1] = Sd::restart_via_systemd("tvtq-restart");
    EXPECT_EQ(state1, "active");
    ASSERT_TRUE(pid1);
    EXPECT_EQ(cmdline(std::stoi(*pid1)), "/bin/sleep 1004 ");
    auto [state2, pid2] = Sd::restart_via_systemd("tvtq-restart");
    EXPECT_EQ(state2, "active");
    EXPECT_NE(pid2, pid1);
    EXPECT_EQ(Sd::stop_via_systemd("tvtq-restart"), "inactive");
    EXPECT_EQ(Sd::get_status_via_systemd("tvtq-restart"), "inactive");
    EXPECT_EQ(Sd::stop_via_systemd("tvtq-nosuch"), std::nullopt);
    EXPECT_EQ(Sd::restart_via_systemd("tvtq-nosuch"),
              std::make_pair(std::optional<std::string>(), std::optional<std::string>()));
}
