#include "Tavrel/Cli/ResultRecord.h"

#include "Tavrel/Foundation/Exception.h"
#include "testsupport/FakeBackend.h"
#include "testsupport/InChild.h"
#include "testsupport/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

namespace Tavrel::Cli::ResultRecord {
namespace {

using nlohmann::ordered_json;
using Tavrel::TestSupport::TempDir;

Main::Command command_of(const std::string& program, const std::vector<std::string>& args) {
    return Main::read_command(program, args, false);
}

// The lines of a text.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The record on the last line of `out`; fails the test unless it is one.
ordered_json last_result(const std::string& out) {
    const auto lines = lines_of(out);
    if (lines.empty()) {
        ADD_FAILURE() << "no output at all";
        return {};
    }
    const ordered_json record = ordered_json::parse(lines.back(), nullptr, false);
    EXPECT_EQ(record.value("type", ""), TYPE) << out;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        EXPECT_THAT(lines[i], testing::Not(testing::HasSubstr(R"("type":"result")")))
            << "a result record before the last line:\n"
            << out;
    return record.value("contents", ordered_json());
}

TEST(ResultContents, FailureMembersOnlyForAFailedRun) {
    Facts facts{.service = "crond",
                .action = "start",
                .status = 255,
                .running = false,
                .pids = std::vector<pid_t>{},
                .failure_class = "Tavrel::Exception::Services::StartError",
                .error_id = "abcdefghij",
                .message = "The service “crond” failed to start.",
                .duration_ms = 1234};
    ordered_json c = contents(facts);
    EXPECT_FALSE(c["succeeded"].get<bool>());
    EXPECT_EQ(c["pids"], ordered_json::array());  // looked at: down
    EXPECT_EQ(c["error_id"], "abcdefghij");

    // An absent service skipped with --skip-if-absent noted its failure, and
    // succeeded all the same: a reader must not see a failure class.
    facts.status = 0;
    c = contents(facts);
    EXPECT_TRUE(c["succeeded"].get<bool>());
    EXPECT_TRUE(c["failure_class"].is_null() && c["error_id"].is_null() && c["message"].is_null());

    // Never looked at: null, which a reader cannot take for "down".
    c = contents(Facts{});
    EXPECT_TRUE(c["service"].is_null() && c["pids"].is_null() && c["running"].is_null());
}

// "done" separates what a run carried out from what it found nothing to do
// for; both succeed. A failed run did not do its action either.
TEST(ResultContents, DoneSaysWhetherTheActionWasCarriedOut) {
    Facts facts;
    facts.service = "crond";
    facts.action = "reload";
    ordered_json c = contents(facts);
    EXPECT_TRUE(c["done"].get<bool>());
    EXPECT_TRUE(c["message"].is_null());

    facts.nothing_done = "The service “crond” is not running, so nothing was reloaded.";
    c = contents(facts);
    EXPECT_TRUE(c["succeeded"].get<bool>());
    EXPECT_FALSE(c["done"].get<bool>());
    EXPECT_EQ(c["message"], *facts.nothing_done);
    EXPECT_TRUE(c["failure_class"].is_null());

    facts.status = 255;
    facts.message = "The service “crond” failed to reload.";
    c = contents(facts);
    EXPECT_FALSE(c["done"].get<bool>());
    EXPECT_EQ(c["message"], *facts.message);
}

TEST(ResultContents, PidsComeFromTheStatusLines) {
    EXPECT_EQ(pids_in_status("cron (/usr/sbin/cron -f) is running as root with PID 4711 "
                             "(pidfile+proc check)"),
              std::vector<pid_t>{4711});
    // A unit whose processes are listed one line each, one of them twice.
    EXPECT_EQ(pids_in_status("d (/usr/sbin/d) is running as root with PID 10 (systemd check)\n"
                             "d (/usr/sbin/d -w) is running as www with PID 11 (systemd check)\n"
                             "d (/usr/sbin/d) is running as root with PID 10 (systemd check)"),
              (std::vector<pid_t>{10, 11}));
    // Running without a process to show, or down: no pid.
    EXPECT_TRUE(pids_in_status("postgresql is running (systemd check)").empty());
    EXPECT_TRUE(pids_in_status("").empty());
    // The command is another program's text: only the line's end counts.
    EXPECT_EQ(pids_in_status("x (/bin/x with PID 1 (fake check)) is running as nobody with PID "
                             "77 (process table check)"),
              std::vector<pid_t>{77});
}

TEST(ResultCommandLine, JsonIsSeenOnARefusedLineAsTheParserWouldSeeIt) {
    EXPECT_TRUE(asks_for_json({"--json"}));
    EXPECT_TRUE(asks_for_json({"--bogus", "crond", "--js"}));  // a unique abbreviation
    EXPECT_FALSE(asks_for_json({"crond"}));
    EXPECT_FALSE(asks_for_json({"--", "--json"}));                 // a word
    EXPECT_FALSE(asks_for_json({"--systemd-service", "--json"}));  // a value
    EXPECT_TRUE(asks_for_json({"--systemd-service=x", "--json"}));
    EXPECT_FALSE(asks_for_json({"-json"}));

    // The parser and this reading agree wherever the parser accepts the line.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--json", "crond"},
                                                 {"--jso"},
                                                 {"--status"},
                                                 {"--", "--json"},
                                                 {"--systemd-service", "--json"},
                                                 {"--html", "--j"}}) {
        EXPECT_EQ(asks_for_json(args), parse_options(args).json) << args.front();
    }
}

TEST(ResultCommandLine, ServiceAndActionAsAsked) {
    struct Case {
        std::string program;
        std::vector<std::string> args;
        std::optional<std::string> service, action;
    } cases[] = {
        {"/sbin/startcrond", {}, "crond", "restart"},
        {"/sbin/stopcrond", {"--json"}, "crond", "stop"},
        {"/sbin/zidavoveva_service", {"--json", "sshd", "status"}, "sshd", "status"},
        // Refused as an action, not a service.
        {"/sbin/zidavoveva_service", {"status", "sshd"}, std::nullopt, "status"},
        {"/sbin/zidavoveva_crond", {"--help"}, "crond", "help"},
        // Refused: the word of the program's name is still known.
        {"/sbin/zidavoveva_crond", {"--bogus", "--json"}, "crond", std::nullopt},
        {"/sbin/zidavoveva_service", {"--bogus", "crond"}, std::nullopt, std::nullopt},
        {"/sbin/zidavoveva_base", {"crond"}, std::nullopt, "restart"},
    };
    for (const auto& c : cases) {
        const Main::Command command = command_of(c.program, c.args);
        EXPECT_EQ(service_word(command), c.service) << c.program;
        EXPECT_EQ(asked_action(command), c.action) << c.program;
    }
}

// Standard output of `body` run in a child, and its exit status.
struct Outcome {
    int status;
    std::string out;
};
Outcome in_child_with_output(const std::function<int()>& body) {
    TempDir tmp;
    const std::string out = tmp / "out";
    const int status = Tavrel::TestSupport::in_child([&] {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        const int err = ::open("/dev/null", O_WRONLY);
        ::dup2(err, STDERR_FILENO);
        return body();
    });
    return {status, TempDir::read(out)};
}

TEST(ResultRun, WrittenOnceLastAndOnlyWhenAsked) {
    auto r = in_child_with_output([] {
        ResultRecord::Run result(command_of("/sbin/zidavoveva_crond", {"--json"}));
        (void)!::write(STDOUT_FILENO, "{\"type\":\"out\"}\n", 15);
        result.failed(Foundation::Exception::create("Services::StartError", {{"service", "crond"}}));
        result.failed(std::string("ignored: the exception's own text"));
        result.finish(255);
        result.finish(0);  // once
        return 0;
    });
    auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    ordered_json c = last_result(r.out);
    EXPECT_EQ(c["status"], 255);
    EXPECT_EQ(c["failure_class"], "Tavrel::Exception::Services::StartError");
    EXPECT_EQ(c["error_id"].get<std::string>().size(), 10u);
    EXPECT_THAT(c["message"].get<std::string>(), testing::HasSubstr("crond"));
    EXPECT_FALSE(c["message"].get<std::string>().starts_with("ignored"));
    EXPECT_GE(c["duration_ms"].get<long long>(), 0);

    r = in_child_with_output([] {
        ResultRecord::Run result(command_of("/sbin/zidavoveva_crond", {}));
        result.finish(0);
        return 0;
    });
    EXPECT_EQ(r.out, "");
}

// The skip during a base installation leaves through std::exit from deep in
// a restart; a forked child that does the same must not write the parent's
// record.
TEST(ResultRun, AnExitInTheMiddleStillEndsWithTheRecord) {
    auto r = in_child_with_output([] {
        ResultRecord::Run result(command_of("/sbin/zidavoveva_crond", {"--json"}));
        const pid_t child = ::fork();
        if (child == 0)
            std::exit(7);
        ::waitpid(child, nullptr, 0);
        std::exit(0);
        return 1;
    });
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(lines_of(r.out).size(), 1u) << r.out;
    ordered_json c = last_result(r.out);
    EXPECT_EQ(c["status"], 0);
    EXPECT_EQ(c["service"], "crond");
    EXPECT_TRUE(c["pids"].is_null());
}

// A status run whose service came up (or went) just after its look: the
// record says what the answer said, not what a later look would.
TEST(ResultRun, AStatusRecordRepeatsTheLookItsAnswerCameFrom) {
    TempDir tmp;
    const std::string log = tmp / "error_log";
    auto status_run = [&](const std::string& action, const std::string& first_look) {
        return in_child_with_output([&] {
            namespace Fake = Tavrel::Service::TestSupport;
            auto state = std::make_shared<Fake::BackendState>();
            auto srv = Tavrel::Service::Base::create<Fake::Testable<Tavrel::Service::Base>>(
                {{"service", "testsvc"}, {"is_enabled", true}, {"service_binary", ""}});
            srv->set_service_manager(std::make_unique<Fake::FakeBackend>(state));
            Fake::Captured out;
            srv->set_output_obj(out.output());
            Foundation::Logger::Options lo;
            lo.alternate_logfile = log;
            lo.no_load_from_cache = true;
            srv->set_logger(Foundation::Logger::create(lo));
            ResultRecord::Run result(command_of("/sbin/zidavoveva_service", {"testsvc", action, "--json"}));
            state->status = first_look;
            int status = 0;
            try {
                srv->status();
            } catch (const Foundation::Exception&) {
                status = 255;
            }
            state->status = first_look.empty() ? "t (/bin/t) is running as root with PID 42 (systemd check)"
                                               : "";
            result.look_at(srv.get());
            result.finish(status);
            return 0;
        });
    };
    ordered_json c = last_result(status_run("--status", "").out);
    EXPECT_EQ(c["status"], 255);
    EXPECT_EQ(c["running"], false);
    EXPECT_TRUE(c["pids"].empty());

    c = last_result(status_run("--status", "t (/bin/t) is running as root with PID 7 (systemd check)").out);
    EXPECT_EQ(c["status"], 0);
    EXPECT_EQ(c["running"], true);
    EXPECT_EQ(c["pids"], ordered_json::array({7}));

    // An action that changes the service is reported as it is at the end.
    c = last_result(status_run("--restart", "").out);
    EXPECT_EQ(c["running"], true);
}

// The whole run: a command line refused before any service is looked at
// leaves the record alone on standard output.
TEST(ResultRun, ARefusedCommandLineEndsWithItsRecordAlone) {
    const auto r = in_child_with_output([] {
        return Main::run("/sbin/zidavoveva_crond", {"--json", "--bogus"});
    });
    EXPECT_EQ(r.status, Main::EXIT_FAILURE_STATUS);
    ASSERT_EQ(lines_of(r.out).size(), 1u) << r.out;
    const ordered_json c = last_result(r.out);
    EXPECT_EQ(c["service"], "crond");
    EXPECT_EQ(c["status"], Main::EXIT_FAILURE_STATUS);
    EXPECT_THAT(c["message"].get<std::string>(), testing::HasSubstr("--bogus"));
    EXPECT_TRUE(c["pids"].is_null());
}

}  // namespace
}  // namespace Tavrel::Cli::ResultRecord
