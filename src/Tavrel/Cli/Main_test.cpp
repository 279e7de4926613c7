#include "Tavrel/Cli/Main.h"
#include "Tavrel/Cli/History.h"
#include "Tavrel/Cli/InvocationLog.h"
#include "Tavrel/Foundation/LogCheck.h"

#include "Tavrel/Config/TvConfGuard.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Config/OS.h"
#include "Tavrel/Process/Proc/PID.h"
#include "Tavrel/Catalogue/Definition.h"
#include "Tavrel/Init/SysV/Script.h"
#include "Tavrel/Service/Lock.h"
#include "Tavrel/Init/SysV/StartupLog.h"
#include "Tavrel/Server/Monitor/Suspension.h"
#include "Tavrel/Foundation/Fd/Query.h"
#include "Tavrel/Run/SafeRun/Child.h"
#include "Tavrel/Service/RunSignals.h"
#include "Tavrel/Service/Base.h"
#include "Tavrel/Foundation/PlainError.h"
#include "testsupport/InChild.h"
#include "testsupport/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <sstream>

namespace Tavrel::Cli::Main {
namespace {

using Tavrel::TestSupport::TempDir;
using testing::HasSubstr;

TEST(InvocationName, GivesActionAndServiceWord) {
    auto inv = parse_invocation_name("/usr/local/sbin/zidavoveva_crond");
    ASSERT_TRUE(inv);
    EXPECT_EQ(inv->action, "zidavoveva_");
    EXPECT_EQ(inv->service, "crond");
    inv = parse_invocation_name("stopsshd");
    ASSERT_TRUE(inv);
    EXPECT_EQ(inv->action, "stop");
    EXPECT_EQ(inv->service, "sshd");
    EXPECT_EQ(parse_invocation_name("/x/startcrond")->action, "start");
    // The words with a hyphen are installed as names too.
    EXPECT_EQ(parse_invocation_name("/usr/sbin/zidavoveva_exim-altport")->service, "exim-altport");
    EXPECT_EQ(parse_invocation_name("stoppure-ftpd")->service, "pure-ftpd");
    EXPECT_FALSE(parse_invocation_name("/usr/bin/crond"));
    EXPECT_FALSE(parse_invocation_name("zidavoveva_crond/"));
    EXPECT_FALSE(parse_invocation_name("/sbin/zidavoveva_crond\n"));
    EXPECT_FALSE(parse_invocation_name("stopcron\n"));
}

// Whether init started the run is decided once and travels in the options:
// such a run is quiet, and its service object is told (no lock, no
// systemctl); a run from a shell is verbose.
TEST(ReadCommand, TheCallerAndTheNameAreInTheOptions) {
    const Command by_init = read_command("/sbin/stopcrond", {"--html"}, true);
    ASSERT_TRUE(by_init.options);
    EXPECT_EQ(by_init.options->verbose, 0);
    EXPECT_TRUE(by_init.options->run.started_by_init);
    EXPECT_EQ(by_init.options->verb, Tavrel::Service::Verb::Stop);
    const Command by_shell = read_command("/sbin/zidavoveva_crond", {}, false);
    ASSERT_TRUE(by_shell.options);
    EXPECT_EQ(by_shell.options->verbose, 1);
    EXPECT_FALSE(by_shell.options->run.started_by_init);
    EXPECT_EQ(by_shell.options->verb, Tavrel::Service::Verb::Restart);
    const Command refused = read_command("/sbin/zidavoveva_crond", {"--bogus"}, true);
    EXPECT_FALSE(refused.options);
    EXPECT_THAT(refused.refusal, HasSubstr("“--bogus”"));
}

// A run in a child process, with its standard output and error, in a
// sandbox of temporary directories; `prepare` changes more settings there.
struct Outcome {
    int status;
    std::string out, err;
};

Outcome run_in_child(const std::string& program, std::vector<std::string> args,
                     const std::function<void()>& prepare = {}) {
    TempDir tmp;
    const std::string out = tmp / "out", err = tmp / "err";
    int status = Tavrel::TestSupport::in_child([&] {
        int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(o, 1);
        ::dup2(e, 2);
        Catalogue::Definition::DIR = tmp / "defs";
        Init::SysV::Script::INIT_D_DIR = tmp / "init.d";
        Tavrel::Service::Lock::LOCK_BASE = tmp / "locks";
        Foundation::Logger::STD_LOG_FILE = tmp / "error_log";
        Config::OS::SYSTEMD_RUN_DIR = tmp / "no-systemd";
        if (prepare)
            prepare();
        return run(program, std::move(args));
    });
    return {status, TempDir::read(out), TempDir::read(err)};
}

TEST(Run, HelpNamesTheServiceAndSucceeds) {
    auto r = run_in_child("/sbin/zidavoveva_crond", {"--stop", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out, HasSubstr("zidavoveva_crond"));
    r = run_in_child("/sbin/zidavoveva_service", {"-h", "sshd"});
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out, HasSubstr("stopsshd"));
    // Abbreviated, it is still the help; an abbreviation of two options is
    // refused before anything is looked at.
    r = run_in_child("/sbin/stopcrond", {"--he"});
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out, HasSubstr("zidavoveva_crond"));
    r = run_in_child("/sbin/zidavoveva_crond", {"--h"});
    EXPECT_EQ(r.status, EXIT_FAILURE_STATUS);
    EXPECT_THAT(r.err, HasSubstr("“--h” is ambiguous"));
    EXPECT_EQ(r.out, "");
}

TEST(Run, RefusesWhatIsNotAServiceBeforeDoingAnything) {
    struct Case {
        std::string program;
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {"/sbin/zidavoveva_base", {"crond"}, "must be run under a service name"},
        {"/sbin/zidavoveva_restart", {}, "“restart” is an action"},
        {"/sbin/zidavoveva_service", {"--verbose", "stop"}, "“stop” is an action"},
        {"/sbin/zidavoveva_service", {"--verbose"}, "No service was given"},
        {"/sbin/crond", {}, "/sbin/crond: this is not a name"},
        {"/sbin/zidavoveva_service", {"--status", "../../etc/passwd"}, "service"},
        {"/sbin/zidavoveva_service", {"--status", "nosuchd"}, "nosuchd"},
    };
    for (const auto& c : cases) {
        auto r = run_in_child(c.program, c.args);
        EXPECT_EQ(r.status, EXIT_FAILURE_STATUS) << c.program;
        EXPECT_THAT(r.err, HasSubstr(c.message)) << c.program;
        EXPECT_EQ(r.out, "") << c.program;
    }
    // An unknown service is a mistake of the caller, not an incident: no error id.
    EXPECT_THAT(run_in_child("/sbin/zidavoveva_nosuchd", {}).err,
                testing::Not(HasSubstr("error id")));
}

// --list under the generic name: a table, or a record per service ended by
// the result record; 0; no lock taken. Under a service's own name it is
// refused, as a word beside it would be ignored.
TEST(Run, ListShowsEveryServiceAndTouchesNone) {
    TempDir tmp;
    auto in_tmp = [&] {
        Tavrel::Service::Lock::LOCK_BASE = tmp / "locks";
        Config::TvConfGuard::TVCONF_FILE = tmp / "tavrel.conf";
        Config::TvConfGuard::TVCONF_CACHE_FILE = tmp / "tavrel.conf.cache";
    };
    auto r = run_in_child("/sbin/zidavoveva_service", {"--list"}, in_tmp);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, testing::StartsWith("SERVICE "));
    EXPECT_THAT(r.out, testing::ContainsRegex("\ncrond +(yes|no) +(yes|no|-) +(yes|no|-) "));

    r = run_in_child("/sbin/zidavoveva_service", {"--json", "--list"}, in_tmp);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr(R"("type":"service","contents":{"service":"crond",)"));
    const std::string last = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
    EXPECT_THAT(last, HasSubstr(R"("type":"result","contents":{"service":null,"action":"list","succeeded":true)"));
    EXPECT_NE(::access((tmp / "locks").c_str(), F_OK), 0) << "a listing took a lock";

    r = run_in_child("/sbin/zidavoveva_service", {"--list", "--html"}, in_tmp);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, testing::StartsWith("<table"));
    EXPECT_THAT(r.out, HasSubstr("<tr><td>crond</td>"));

    for (const auto& [program, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"/sbin/zidavoveva_crond", {"--list"}}, {"/sbin/zidavoveva_service", {"--list", "crond"}}}) {
        r = run_in_child(program, args, in_tmp);
        EXPECT_EQ(r.status, EXIT_FAILURE_STATUS) << program;
        EXPECT_THAT(r.err, HasSubstr("takes no service (“crond”)")) << program;
        EXPECT_EQ(r.out, "") << program;
    }
}

TEST(Run, WithoutTheProcessFileSystemNothingIsDone) {
    // An empty mount point: every status would read "down", every restart
    // would start a second copy.
    TempDir empty;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--status", "crond"}, {"crond"}, {"--stop", "crond"}}) {
        TempDir tmp;
        const auto r = run_in_child("/sbin/zidavoveva_service", args, [&] {
            Foundation::ProcFs::PROC_PATH = empty.path();
            Tavrel::Service::Lock::LOCK_BASE = tmp / "locks";
        });
        EXPECT_EQ(r.status, EXIT_FAILURE_STATUS) << args[0];
        EXPECT_THAT(r.err, HasSubstr("process file system is not mounted"));
        EXPECT_EQ(r.out, "");
        EXPECT_NE(::access((tmp / "locks").c_str(), F_OK), 0) << "a lock was taken";
    }
}

// A stopped service "zmark" whose start would leave the file `mark`, and
// every file a run writes, in `tmp` (set up in the run's child).
void define_zmark(const TempDir& tmp, const std::string& mark) {
    tmp.write("defs/Zmark.json", R"({"is_tavrel_service": true, "service_binary": "/bin/sh",
        "startup_args": ["-c", "touch )" + mark + R"("], "pidfile": ")" +
                                     (tmp / "zmark.pid") + R"(", "startup_timeout": 1})");
    Catalogue::Definition::DIR = tmp / "defs";
    Tavrel::Service::Lock::LOCK_BASE = tmp / "locks";
    Init::SysV::StartupLog::STARTUP_LOG_DIR = tmp / "startup";
    Server::Monitor::Suspension::SERVICE_SUSPEND_DIR = tmp / "suspended";
    Config::TvConfGuard::TVCONF_FILE = tmp / "tavrel.conf";
    Config::TvConfGuard::TVCONF_CACHE_FILE = tmp / "tavrel.conf.cache";
}

// `zidavoveva_x status` as typed after `service x status`: a question, never a
// restart. The service is down; a restart would run its program.
TEST(Run, BareQuestionWordsAskAndStartNothing) {
    for (const std::string word : {"status", "check"}) {
        TempDir tmp;
        const std::string mark = tmp / "started";
        const auto r = run_in_child("/sbin/zidavoveva_zmark", {word}, [&] { define_zmark(tmp, mark); });
        EXPECT_EQ(r.status, EXIT_FAILURE_STATUS) << word;
        EXPECT_THAT(r.out + r.err, HasSubstr("is down")) << word;
        EXPECT_NE(::access(mark.c_str(), F_OK), 0) << word << ": the service was started";
    }
    EXPECT_THAT(run_in_child("/sbin/zidavoveva_service", {"status", "crond"}).err,
                HasSubstr("“status” is an action"));
}

// A misspelt action word is refused, never taken for the default action:
// the service is down and a restart would start it.
TEST(Run, AnUnknownWordIsRefusedAndStartsNothing) {
    TempDir tmp;
    const std::string mark = tmp / "started";
    auto define = [&] { define_zmark(tmp, mark); };
    for (const auto& [program, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"/sbin/zidavoveva_zmark", {"stauts"}},
             {"/sbin/zidavoveva_service", {"zmark", "restart", "now"}},
             {"/sbin/startzmark", {"--verbose", "zmark"}}}) {
        const auto r = run_in_child(program, args, define);
        EXPECT_EQ(r.status, EXIT_FAILURE_STATUS) << program;
        EXPECT_THAT(r.err, HasSubstr("Unknown word “")) << program;
        EXPECT_NE(::access(mark.c_str(), F_OK), 0) << program << ": the service was started";
    }
}

// A failed start at verbosity 1 is reported on standard output, in this
// order: the failure's class name (programs match it), the status block,
// the failure under its title, what the start printed, the closing line.
TEST(Run, AFailedStartIsShownWithItsStatusAndAClosingLine) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root may start a service";
    TempDir tmp;
    const auto r = run_in_child("/sbin/zidavoveva_zfail", {"--verbose"}, [&] {
        tmp.write("defs/Zfail.json", R"({"is_tavrel_service": true, "service_binary": "/bin/sh",
            "startup_args": ["-c", "echo zfail cannot start; exit 3"], "pidfile": ")" +
                                         (tmp / "zfail.pid") + R"(", "startup_timeout": 0.2})");
        Catalogue::Definition::DIR = tmp / "defs";
        Init::SysV::StartupLog::STARTUP_LOG_DIR = tmp / "startup";
        Server::Monitor::Suspension::SERVICE_SUSPEND_DIR = tmp / "suspended";
        // A start reads the main configuration, which a root read creates.
        Config::TvConfGuard::TVCONF_FILE = tmp / "tavrel.conf";
        Config::TvConfGuard::TVCONF_CACHE_FILE = tmp / "tavrel.conf.cache";
        // The run logs as root: its logs stay in the temporary directory.
        Foundation::Logger::STD_LOG_FILE = tmp / "error_log";
        Foundation::Logger::PANIC_LOG_FILE = tmp / "panic_log";
        Tavrel::Cli::InvocationLog::LOG_FILE = tmp / "invocation_log";
        Foundation::LogCheck::LOG_DIR = tmp / "log";
    });
    EXPECT_EQ(r.status, EXIT_FAILURE_STATUS);
    std::size_t at = 0;
    for (const std::string expected :
         {"Tavrel::Exception::Services::StartError\n", "Service Status",
          "No status was reported by Tavrel::ServiceManager::Base.", "Service Error",
          "The system failed to start the service “zfail”.", "Startup Log", "zfail cannot start",
          "The system failed to start the service “zfail”."}) {
        const auto found = r.out.find(expected, at);
        ASSERT_NE(found, std::string::npos) << "“" << expected << "” after byte " << at << " of:\n"
                                            << r.out;
        at = found + expected.size();
    }
}

// An action that finds nothing to do says so in one line, instead of the
// line of the action it did not carry out, and shows no status block; it
// still succeeds, and its record says that nothing was done and why.
TEST(Run, NothingToDoIsSaidOnceAndRecordedAsNotDone) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root may stop or reload a service";
    struct Case {
        std::string program;
        std::vector<std::string> args;
        bool reloads;
        std::string said;
        std::string not_said;
    } cases[] = {
        {"/sbin/stopzmark", {}, false, "The service “zmark” is not running; nothing was done.",
         "“zmark” was stopped"},
        {"/sbin/zidavoveva_zmark", {"--reload"}, true,
         "The service “zmark” is not running, so nothing was reloaded.", "“zmark” was reloaded"},
        {"/sbin/zidavoveva_zmark", {"--reload"}, false,
         "The service “zmark” cannot reload its configuration; nothing was done.", "“zmark” was reloaded"},
    };
    for (const auto& c : cases) {
        TempDir tmp;
        const std::string mark = tmp / "started";
        auto prepare = [&] {
            define_zmark(tmp, mark);
            if (c.reloads) {
                std::string json = TempDir::read(tmp / "defs/Zmark.json");
                json.insert(1, R"("support_reload": true, )");
                tmp.write("defs/Zmark.json", json);
            }
        };
        auto r = run_in_child(c.program, c.args, prepare);
        EXPECT_EQ(r.status, 0) << c.said << r.err;
        const auto first = r.out.find(c.said);
        EXPECT_NE(first, std::string::npos) << r.out;
        EXPECT_EQ(r.out.find(c.said, first + 1), std::string::npos) << "said twice:\n" << r.out;
        EXPECT_THAT(r.out, testing::Not(HasSubstr("not running.\n"))) << r.out;
        EXPECT_THAT(r.out, testing::Not(HasSubstr(c.not_said))) << r.out;
        EXPECT_THAT(r.out, testing::Not(HasSubstr("No status was reported"))) << r.out;
        EXPECT_NE(::access(mark.c_str(), F_OK), 0) << c.said << ": the service was started";

        std::vector<std::string> json_args = c.args;
        json_args.push_back("--json");
        r = run_in_child(c.program, json_args, prepare);
        const std::string last = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
        EXPECT_THAT(last, HasSubstr(R"("succeeded":true,"done":false,)")) << last;
        EXPECT_THAT(last, HasSubstr(R"("message":")" + c.said)) << last;
    }
}

// A class with a custom action of its own; no built-in class has one.
class Flushing : public Tavrel::Service::Base {
  public:
    Flushing() {
        add_custom_action("flush", [this] { ++flushed; });
    }
    int flushed = 0;
};

// The action runs whether it is asked as a bare word or as --flush, and is
// the run's action; a --word that only another class offers is refused.
TEST(CustomAction, AskedAsABareWordOrAsAnOption) {
    const Implied implied{.custom_action = [](std::string_view w) { return w == "flush" || w == "purge"; }};
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"zflush", "flush"}, {"--flush", "zflush"}, {"zflush", "--flush"}}) {
        Flushing srv;
        srv.set_service("zflush");
        const auto* action = custom_action_asked(srv, parse_options(args, implied));
        ASSERT_NE(action, nullptr) << args[0] << " " << args[1];
        (*action)();
        EXPECT_EQ(srv.flushed, 1);
        EXPECT_EQ(srv.custom_action_taken(), "flush");
    }
    Flushing srv;
    srv.set_service("zflush");
    EXPECT_EQ(custom_action_asked(srv, parse_options({"zflush", "--stop"}, implied)), nullptr);
    try {
        custom_action_asked(srv, parse_options({"--purge", "zflush"}, implied));
        ADD_FAILURE() << "--purge was taken";
    } catch (const Foundation::PlainError& e) {
        EXPECT_THAT(e.what(), HasSubstr("Unknown option “--purge”"));
    }
    EXPECT_EQ(srv.flushed, 0);
}

// A dropped SSH session or a closed pipe must not end a restart between the
// stop and the start; a launched daemon still gets both signals back.
TEST(Run, HangupAndClosedPipesDoNotEndARun) {
    const std::string seen = Tavrel::TestSupport::text_from_child([] {
        ::close(1);
        prepare_process();
        ::raise(SIGHUP);
        ::raise(SIGPIPE);
        std::string text = "survived";
        const pid_t child = ::fork();
        if (child == 0) {
            // What a launched child does first.
            Run::SafeRun::reset_child_signals();
            ::raise(SIGHUP);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP)
            text += ", a child ends on HUP";
        if (Foundation::Fd::Query::is_a(1))
            text += ", output open";
        return text;
    });
    EXPECT_EQ(seen, "survived, a child ends on HUP, output open");
}

// The raw wait status of a forked child that runs `body` (standard error
// into `err_path`) and then exits 0.
int wait_status_of(const std::string& err_path, const std::function<void()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, 2);
        body();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

// TERM or Ctrl-C between a restart's stop and its start would leave the
// service down: they wait until the start has been tried, then end the run
// as they would have. A second one ends it at once; outside a restart they
// end it at once.
TEST(Run, TermAndIntEndARestartOnlyOnceTheStartWasTried) {
    namespace RunSignals = Tavrel::Service::RunSignals;
    Tavrel::TestSupport::TempDir tmp;
    const std::string err = tmp / "stderr";
    const std::string tried = tmp / "start-tried";
    const auto ended_by_int = [](int status) {
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGINT;
    };
    const auto ended_with_143 = [](int status) {
        return WIFEXITED(status) && WEXITSTATUS(status) == 143;
    };

    int status = wait_status_of(err, [] {
        prepare_process();
        ::raise(SIGTERM);
        ::_exit(1);
    });
    EXPECT_TRUE(ended_with_143(status)) << status;
    status = wait_status_of(err, [] {
        prepare_process();
        ::raise(SIGINT);
        ::_exit(1);
    });
    EXPECT_TRUE(ended_by_int(status)) << status;

    for (const int signo : {SIGTERM, SIGINT}) {
        ::unlink(tried.c_str());
        status = wait_status_of(err, [&] {
            prepare_process();
            {
                RunSignals::HoldEndingSignals hold("tvtest");
                ::raise(signo);  // in the stop
                tmp.write("start-tried", "yes");  // the start
            }
            ::_exit(1);
        });
        EXPECT_TRUE(signo == SIGTERM ? ended_with_143(status) : ended_by_int(status))
            << signo << ": " << status;
        EXPECT_TRUE(std::filesystem::exists(tried)) << signo;
        EXPECT_THAT(Tavrel::TestSupport::TempDir::read(err),
                    HasSubstr(std::string(signo == SIGTERM ? "SIGTERM" : "SIGINT") +
                              " while “tvtest” was being restarted"));
    }

    ::unlink(tried.c_str());
    status = wait_status_of(err, [&] {
        prepare_process();
        RunSignals::HoldEndingSignals hold("tvtest");
        ::raise(SIGTERM);
        ::raise(SIGINT);  // the impatient second Ctrl-C
        tmp.write("start-tried", "yes");
    });
    EXPECT_TRUE(ended_by_int(status)) << status;
    EXPECT_FALSE(std::filesystem::exists(tried));
}

TEST(Run, GenericNameTakesTheFirstWordThatIsNotAnOption) {
    auto r = run_in_child("/sbin/zidavoveva_service", {"--restart-attempt", "2", "nosuchd"});
    EXPECT_THAT(r.err, HasSubstr("“nosuchd”"));
}

// Every run by root that acts is a line of the history, also one that
// failed or found nothing to do; a question is not. The lines are read back
// by --history, which is root's.
TEST(History, EveryActingRunIsALineAndTheHistoryShowsThem) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "the history is kept of runs by root";
    TempDir tmp;
    const std::string mark = tmp / "started";
    auto prepare = [&] {
        define_zmark(tmp, mark);
        tmp.write("defs/Zfail.json", R"({"is_tavrel_service": true, "service_binary": "/bin/sh",
            "startup_args": ["-c", "exit 3"], "pidfile": ")" + (tmp / "zfail.pid") + R"(", "startup_timeout": 0.2})");
        History::FILE = tmp / "history";
    };
    EXPECT_EQ(run_in_child("/sbin/stopzmark", {"--no-verbose"}, prepare).status, 0);
    EXPECT_EQ(run_in_child("/sbin/zidavoveva_zmark", {"--status"}, prepare).status, EXIT_FAILURE_STATUS);
    EXPECT_EQ(run_in_child("/sbin/zidavoveva_zfail", {"--start"}, prepare).status, EXIT_FAILURE_STATUS);

    std::vector<nlohmann::json> lines;
    std::istringstream file(TempDir::read(tmp / "history"));
    for (std::string line; std::getline(file, line);)
        lines.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(lines.size(), 2u) << TempDir::read(tmp / "history");
    EXPECT_EQ(std::filesystem::status(tmp / "history").permissions(), std::filesystem::perms::owner_read |
                                                                        std::filesystem::perms::owner_write);
    EXPECT_EQ(lines[0]["service"], "zmark");
    EXPECT_EQ(lines[0]["action"], "stop");
    EXPECT_EQ(lines[0]["args"], nlohmann::json({"--no-verbose"}));
    EXPECT_EQ(lines[0]["succeeded"], true);
    EXPECT_EQ(lines[0]["done"], false);
    EXPECT_EQ(lines[0]["pids_before"], nlohmann::json::array());
    EXPECT_EQ(lines[0]["pids_after"], nlohmann::json::array());
    EXPECT_EQ(lines[0]["uid"], 0);
    EXPECT_EQ(lines[0]["parent_pid"], ::getpid());
    EXPECT_EQ(lines[1]["service"], "zfail");
    EXPECT_EQ(lines[1]["status"], EXIT_FAILURE_STATUS);
    EXPECT_EQ(lines[1]["succeeded"], false);
    EXPECT_THAT(lines[1]["failure_class"].get<std::string>(), HasSubstr("StartError"));
    EXPECT_TRUE(History::parse_iso_time(lines[1]["time"].get<std::string>())) << lines[1]["time"];

    auto r = run_in_child("/sbin/zidavoveva_service", {"--history", "zfail"}, prepare);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("failed (255)"));
    EXPECT_THAT(r.out, testing::Not(HasSubstr("zmark")));
    r = run_in_child("/sbin/zidavoveva_service", {"--history", "--json", "--limit=1"}, prepare);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr(R"("type":"history")"));
    EXPECT_THAT(r.out, HasSubstr(R"("service":"zfail")"));
    EXPECT_THAT(r.out, testing::Not(HasSubstr(R"("service":"zmark")")));
    EXPECT_THAT(r.out, HasSubstr(R"("action":"history")"));

    const struct {
        std::vector<std::string> args;
        std::string refusal;
    } refused[] = {
        {{"--history", "--limit=0"}, "--limit takes a number"},
        {{"--history", "--since=yesterday"}, "--since takes a date"},
        {{"--limit=3", "zmark"}, "it goes with --history"},
        {{"--history", "--list"}, "two questions"},
    };
    for (const auto& c : refused) {
        r = run_in_child("/sbin/zidavoveva_service", c.args, prepare);
        EXPECT_EQ(r.status, EXIT_FAILURE_STATUS) << c.refusal;
        EXPECT_THAT(r.err, HasSubstr(c.refusal));
    }
    r = run_in_child("/sbin/zidavoveva_service", {"--history"}, [&] {
        prepare();
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(97);
    });
    EXPECT_EQ(r.status, EXIT_FAILURE_STATUS);
    EXPECT_THAT(r.err, HasSubstr("root's to read"));
    // The refused restart with a stray --limit is the one line more; the
    // looks at the history are none.
    const std::string after = TempDir::read(tmp / "history");
    EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), 3) << after;
    EXPECT_THAT(after.substr(after.rfind('\n', after.size() - 2)), HasSubstr("it goes with --history")) << after;
}

// A dry run goes through the action's decisions and says what it would do
// where the run would act: nothing is started, and its record is a plan.
TEST(DryRun, SaysWhatARestartWouldDoAndDoesNothing) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root may restart a service";
    TempDir tmp;
    const std::string mark = tmp / "started";
    auto prepare = [&] {
        define_zmark(tmp, mark);
        History::FILE = tmp / "history";
    };
    auto r = run_in_child("/sbin/zidavoveva_zmark", {"--dry-run"}, prepare);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::size_t at = 0;
    for (const std::string said : {"It would drive “zmark” through its program /", "Its run locks are free.",
                                   "Enabled: yes; installed: yes; allowed on this server: yes.",
                                   "It would start “zmark” through its program /",
                                   "Dry run: the start of “zmark” would go ahead. Nothing was done."}) {
        const auto found = r.out.find(said, at);
        ASSERT_NE(found, std::string::npos) << "“" << said << "” after byte " << at << " of:\n" << r.out;
        at = found + said.size();
    }
    EXPECT_NE(::access(mark.c_str(), F_OK), 0) << "the dry run started the service";
    EXPECT_FALSE(std::filesystem::exists(tmp / "locks/zmark")) << "the dry run took the run lock";
    EXPECT_FALSE(std::filesystem::exists(tmp / "suspended"));
    EXPECT_FALSE(std::filesystem::exists(tmp / "history")) << "a dry run is no run of the history";

    r = run_in_child("/sbin/zidavoveva_zmark", {"--dry-run", "--json"}, prepare);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr(R"("type":"plan","contents":{"step":"backend")"));
    EXPECT_THAT(r.out, HasSubstr(R"("step":"start")"));
    const std::string last = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
    EXPECT_THAT(last, HasSubstr(R"("action":"plan","succeeded":true,"done":false)")) << last;
    EXPECT_THAT(last, HasSubstr("This was a dry run; nothing was done.")) << last;

    for (const auto& args : {std::vector<std::string>{"--dry-run", "--status"}, {"--dry-run", "--check"}}) {
        r = run_in_child("/sbin/zidavoveva_zmark", args, prepare);
        EXPECT_EQ(r.status, EXIT_FAILURE_STATUS);
        EXPECT_THAT(r.err, HasSubstr("changes nothing anyway"));
    }
    r = run_in_child("/sbin/zidavoveva_service", {"--dry-run", "--list"}, prepare);
    EXPECT_EQ(r.status, EXIT_FAILURE_STATUS);
    EXPECT_THAT(r.err, HasSubstr("not with --list or --history"));
    EXPECT_NE(::access(mark.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace Tavrel::Cli::Main
