#include "Tavrel/Cli/Driver.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Output/Base.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Service/Base.h"
#include "Tavrel/Service/Verb.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace Tavrel::Cli {
namespace {

// Records which operation the driver chose instead of touching a service.
class Recorder : public Tavrel::Service::Base {
  public:
    std::string class_name() const override { return "Tavrel::ServiceManager::Services::Recorder"; }
    bool stop() override {
        calls.push_back("stop");
        return true;
    }
    std::string restart(std::optional<bool> graceful) override {
        calls.push_back(graceful ? (*graceful ? "restart graceful" : "restart hard") : "restart");
        return restart_result;
    }
    bool reload() override {
        calls.push_back("reload");
        return reload_result;
    }
    std::vector<std::string> calls;
    std::string restart_result = "running (pid 42)";
    bool reload_result = true;

  protected:
    bool _build_support_reload() override { return reloadable; }

  public:
    bool reloadable = true;
};

std::unique_ptr<Recorder> recorder() {
    // Whoever runs the tests, the driver takes the request for root's.
    effective_uid = [] { return uid_t{0}; };
    auto r = std::make_unique<Recorder>();
    r->set_service("recorder");
    return r;
}

TEST(Driver, PicksOneActionFromTheCommandLine) {
    struct Case {
        std::vector<std::string> args;
        std::string call;
        Tavrel::Service::Verb action;
    } cases[] = {
        {{}, "restart", Tavrel::Service::Verb::Restart},
        // Asked for, a start is a restart; the core records a start when
        // it finds the service down.
        {{"start"}, "restart", Tavrel::Service::Verb::Restart},
        {{"--stop"}, "stop", Tavrel::Service::Verb::Stop},
        {{"--verbose", "--stop", "--no-stop"}, "restart", Tavrel::Service::Verb::Restart},
        {{"--reload"}, "reload", Tavrel::Service::Verb::Reload},
        {{"--graceful"}, "restart graceful", Tavrel::Service::Verb::Restart},
        {{"--graceful", "--no-graceful"}, "restart hard", Tavrel::Service::Verb::Restart},
    };
    for (const auto& c : cases) {
        auto r = recorder();
        run_from_argv(*r, c.args);
        EXPECT_THAT(r->calls, testing::ElementsAre(c.call)) << testing::PrintToString(c.args);
        EXPECT_EQ(r->service_argv_action(), c.action);
    }
}

TEST(Driver, SetsVerbosityAttemptForceAndOutput) {
    auto r = recorder();
    run_from_argv(*r, {"--verbose", "--debug", "--restart-attempt=3", "--force", "--html"});
    EXPECT_EQ(r->verbose(), 2);
    EXPECT_EQ(r->current_restart_attempt(), 2);
    EXPECT_TRUE(r->call_with_force());
    EXPECT_EQ(r->output_obj().class_name(), "Tavrel::Output::Formatted::HTML");

    r = recorder();
    run_from_argv(*r, {"--restart-attempt=x"});
    EXPECT_EQ(r->verbose(), 0);
    EXPECT_FALSE(r->current_restart_attempt().has_value());
    EXPECT_FALSE(r->call_with_force());
    EXPECT_EQ(r->output_obj().class_name(), "Tavrel::Output::Formatted::Terminal");
    r = recorder();
    run_from_argv(*r, {"--restart-attempt=0"});  // attempts count from 1
    EXPECT_FALSE(r->current_restart_attempt().has_value());
    // Abbreviated, they have the same effect.
    r = recorder();
    run_from_argv(*r, {"--forc", "--ht", "--no-grac"});
    EXPECT_TRUE(r->call_with_force());
    EXPECT_EQ(r->output_obj().class_name(), "Tavrel::Output::Formatted::HTML");
    EXPECT_THAT(r->calls, testing::ElementsAre("restart hard"));
    r = recorder();
    run_from_argv(*r, {"--restart-attempt=0"});
    EXPECT_FALSE(r->current_restart_attempt().has_value());
}

TEST(Driver, JsonGivesOneRecordPerMessage) {
    auto r = recorder();
    run_from_argv(*r, {"--html", "--json"});
    EXPECT_EQ(r->output_obj().class_name(), "Tavrel::Output");
    r = recorder();
    run_from_argv(*r, {"--js", "--stop"});  // abbreviated, like every option
    EXPECT_EQ(r->output_obj().class_name(), "Tavrel::Output");
}

TEST(Driver, FailedRestartOrReloadIsAServiceFailure) {
    auto r = recorder();
    r->restart_result = "";
    try {
        run_from_argv(*r, {});
        FAIL() << "no error";
    } catch (const Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("Services::RestartError"));
        EXPECT_EQ(e.get_text("service"), "recorder");
    }
    r = recorder();
    r->reload_result = false;
    EXPECT_THROW(run_from_argv(*r, {"--reload"}), Foundation::Exception);
}

TEST(Driver, ReloadOfAServiceThatCannotReloadDoesNothing) {
    auto r = recorder();
    r->reloadable = false;
    run_from_argv(*r, {"--reload"});
    EXPECT_TRUE(r->calls.empty());
    // Asked for and not done: the run's closing line and record say why.
    EXPECT_EQ(r->service_argv_action(), Tavrel::Service::Verb::Reload);
    EXPECT_THAT(r->nothing_done(), testing::HasSubstr("cannot reload its configuration"));
}

TEST(Driver, UnknownOptionDoesNothing) {
    auto r = recorder();
    EXPECT_THROW(run_from_argv(*r, {"--stpo"}), Foundation::PlainError);
    EXPECT_TRUE(r->calls.empty());
}

TEST(Driver, OnlyRootActsButAnyoneMayAsk) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"--stop"}, {"--reload"}, {"start"}}) {
        auto r = recorder();
        effective_uid = [] { return uid_t{1000}; };
        EXPECT_THROW(run_from_argv(*r, args), Foundation::PlainError) << testing::PrintToString(args);
        EXPECT_TRUE(r->calls.empty()) << testing::PrintToString(args);
    }
    // Every verb the table says needs root is refused to anyone else before
    // its handler runs.
    for (const auto& row : Tavrel::Service::verbs()) {
        auto r = recorder();
        effective_uid = [] { return uid_t{1000}; };
        bool refused = false;
        try {
            run_from_argv(*r, {std::string(row.option)});
        } catch (const Foundation::PlainError&) {
            refused = true;
        } catch (...) {
        }
        EXPECT_EQ(refused, row.needs_root) << row.option;
        if (row.needs_root) {
            EXPECT_FALSE(r->service_argv_action().has_value()) << row.option;
        }
    }
    // The status of a service that is not there fails, but not for want of root.
    auto r = recorder();
    effective_uid = [] { return uid_t{1000}; };
    try {
        run_from_argv(*r, {"--status"});
    } catch (const Foundation::PlainError& e) {
        ADD_FAILURE() << e.what();
    } catch (...) {
    }
    EXPECT_EQ(r->service_argv_action(), Tavrel::Service::Verb::Status);
    // Through the real question: root acts.
    effective_uid = ::geteuid;
    if (::geteuid() == 0) {
        auto as_root = std::make_unique<Recorder>();
        run_from_argv(*as_root, {"--stop"});
        EXPECT_THAT(as_root->calls, testing::ElementsAre("stop"));
    }
}

}  // namespace
}  // namespace Tavrel::Cli
