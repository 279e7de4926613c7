#include "Tavrel/Foundation/Logger.h"

#include "Tavrel/Foundation/Console.h"

#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Foundation/StackTrace.h"
#include "testsupport/FakeProc.h"
#include "testsupport/InChild.h"
#include "testsupport/TempDir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <string>
#include <vector>

namespace Tavrel::Foundation {
namespace {

using TestSupport::TempDir;
using namespace std::string_literals;

bool never_terminal(int) {
    return false;
}
bool always_terminal(int) {
    return true;
}
bool only_stdin_terminal(int fd) {
    return fd == 0;
}

int count_lines(const std::string& text) {
    int lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines;
}

void write_file(const std::string& path, const std::string& content) {
    Fd::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd);
    ASSERT_EQ(::write(fd.get(), content.data(), content.size()),
              static_cast<ssize_t>(content.size()));
}

mode_t file_mode(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return 07777;
    return st.st_mode & 07777;
}

// Every test gets its own log files and a clean table of shared loggers; the
// console is never a terminal unless a test says so.
class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_std_ = Logger::STD_LOG_FILE;
        saved_panic_ = Logger::PANIC_LOG_FILE;
        saved_touch_ = Logger::TRACE_TOUCH_FILE;
        Logger::STD_LOG_FILE = log_path;
        Logger::PANIC_LOG_FILE = panic_path;
        Logger::TRACE_TOUCH_FILE = dir / "trace_touch";
        Logger::ENABLE_BACKTRACE.reset();
        Logger::DISABLE_OUTPUT = false;
        Logger::ALWAYS_OUTPUT_TO_STDERR = false;
        Logger::IS_TERMINAL = &never_terminal;
        Logger::clear_singleton_stash();
        Console::set_sink([this](std::string_view kind, std::string_view text) {
            echoes += std::string(kind) + ": " + std::string(text) + "\n";
        });
    }
    void TearDown() override {
        Logger::STD_LOG_FILE = saved_std_;
        Logger::PANIC_LOG_FILE = saved_panic_;
        Logger::TRACE_TOUCH_FILE = saved_touch_;
        Logger::ENABLE_BACKTRACE.reset();
        Logger::DISABLE_OUTPUT = false;
        Logger::ALWAYS_OUTPUT_TO_STDERR = false;
        Logger::IS_TERMINAL = &Fd::Query::is_terminal;
        Logger::clear_singleton_stash();
        Debug::debug_level(0);
        Console::set_sink({});
    }
    std::string log() const { return TempDir::read(log_path); }

    // What the logger sent the run's reader (Foundation::Console), one
    // "kind: text" line each; taken by echoed().
    std::string echoes;
    std::string echoed() { return std::exchange(echoes, {}); }

    TempDir dir;
    const std::string log_path = dir / "error_log";
    const std::string panic_path = dir / "panic_log";

  private:
    std::string saved_std_, saved_panic_, saved_touch_;
};

// Runs `body` with standard output and error captured; returns {stdout, stderr}.
template <typename F>
std::pair<std::string, std::string> capture_console(F body) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    body();
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string err = ::testing::internal::GetCapturedStderr();
    return {out, err};
}

// A console or log that went away (the caller hung up) costs the line, never
// the run: SIGPIPE at its default disposition does not end the process.
TEST_F(LoggerTest, ConsoleAndLogWithoutReaderAreDroppedQuietly) {
    const int code = TestSupport::in_child([] {
        ::signal(SIGPIPE, SIG_DFL);
        int fds[2];
        if (::pipe(fds) != 0 || ::dup2(fds[1], STDOUT_FILENO) < 0 ||
            ::dup2(fds[1], STDERR_FILENO) < 0)
            return 3;
        ::close(fds[0]);
        std::printf("buffered text the flush before the echo meets");
        auto logger = Logger::create({.use_stdout = true});
        logger->set_fh(Fd::UniqueFd(::dup(fds[1])));
        const bool written = logger->info("httpd restarted");
        Logger::Entry both("to both");
        both.level = "warn";
        both.output = 3;
        logger->logger(both);
        return written ? 1 : 0;  // the failed write is reported, not fatal
    });
    EXPECT_EQ(code, 0);
}

TEST_F(LoggerTest, SharedLoggersAreKeyedByOptions) {
    auto a = Logger::create();
    auto b = Logger::create();
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->cloned(), 1);
    // An option given with its default value is the same logger.
    EXPECT_EQ(Logger::create(Logger::Options{.log_pid = false}), a);

    auto with_pid = Logger::create({.log_pid = true});
    EXPECT_NE(with_pid, a);
    EXPECT_EQ(Logger::create({.log_pid = true}), with_pid);
    EXPECT_NE(Logger::create({.alternate_logfile = dir / "a"}),
              Logger::create({.alternate_logfile = dir / "b"}));

    auto fresh = Logger::create({.no_load_from_cache = true});
    EXPECT_NE(fresh, a);
    EXPECT_NE(Logger::create({.no_load_from_cache = true}), fresh);
    EXPECT_EQ(fresh->cloned(), 0);

    Logger::clear_singleton_stash();
    EXPECT_NE(Logger::create(), a);

    EXPECT_THROW(Logger::create({.open_now = true, .use_no_files = true}), PlainError);
}

TEST_F(LoggerTest, OpenNowCreatesThePrivateLogAtOnce) {
    const mode_t old = ::umask(0);
    auto logger = Logger::create({.open_now = true});
    ::umask(old);
    ASSERT_GE(logger->get_fh(), 0);
    EXPECT_FALSE(logger->usingstderr());
    EXPECT_EQ(file_mode(log_path), 0600u);
    EXPECT_TRUE(::fcntl(logger->get_fh(), F_GETFD) & FD_CLOEXEC);
}

TEST_F(LoggerTest, LogLineFormat) {
    write_file(log_path, "earlier line\n");
    auto logger = Logger::create();
    EXPECT_EQ(logger->get_fh(), -1);  // opened on first write
    EXPECT_TRUE(logger->warn(Logger::Entry("something odd\n")));
    const std::string text = log();
    static const Regex line(
        R"(^earlier line\n\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4}\] warn \[[^\]\s.]+\] something odd\n$)");
    EXPECT_TRUE(line.test(text)) << text;

    auto with_pid = Logger::create({.log_pid = true});
    Logger::Entry entry("with pid");
    entry.service = "svc";
    with_pid->error(entry);
    EXPECT_NE(log().find("] error [svc:" + std::to_string(::getpid()) + "] with pid\n"),
              std::string::npos);

    logger->raw("unchanged\tbytes");
    EXPECT_TRUE(log().ends_with("\nunchanged\tbytes"));
}

TEST_F(LoggerTest, ConsoleEchoFollowsLevelAndTerminal) {
    auto logger = Logger::create();
    Logger::Entry named("hello");
    named.service = "svc";

    // Not a terminal anywhere: warn and info reach only the log.
    auto [out1, err1] = capture_console([&] {
        logger->warn(named);
        logger->info(named);
        logger->error(named);
    });
    EXPECT_EQ(out1, "");
    EXPECT_EQ(err1, "");
    EXPECT_EQ(echoed(), "");
    EXPECT_EQ(count_lines(log()), 3);

    // A terminal on standard input: warn and error go to stderr; info still not,
    // because standard output is not a terminal.
    Logger::IS_TERMINAL = &only_stdin_terminal;
    auto [out2, err2] = capture_console([&] {
        logger->warn(named);
        logger->error(named);
        logger->info(named);
    });
    EXPECT_EQ(out2, "");
    EXPECT_EQ(err2, "warn [svc] hello\nerror [svc] hello\n");
    EXPECT_EQ(echoed(), "");

    // use_stdout forces info out; open_now keeps it off the console even on a terminal.
    Logger::IS_TERMINAL = &never_terminal;
    Logger::create({.use_stdout = true})->info(named);
    EXPECT_EQ(echoed(), "info: info [svc] hello\n");
    Logger::IS_TERMINAL = &always_terminal;
    Logger::create({.open_now = true})->info(named);
    EXPECT_EQ(echoed(), "");

    // invalid and deprecated never echo; DISABLE_OUTPUT silences everything.
    auto quiet = capture_console([&] {
        logger->invalid(named);
        logger->deprecated(named);
        Logger::DISABLE_OUTPUT = true;
        logger->warn(named);
        logger->info(named);
    });
    EXPECT_EQ(quiet.first + quiet.second, "");
    EXPECT_EQ(echoed(), "");
}

// Standard output is the output object's alone: on a terminal the echo of
// an info or debug line goes to the run's reader, never straight to
// standard output (where it would land between JSON records, or inside a
// progress line left open); with no reader installed, to standard error.
TEST_F(LoggerTest, EchoNeverWritesStandardOutput) {
    Logger::IS_TERMINAL = &always_terminal;
    Debug::debug_level(1);
    auto [out, err] = capture_console([&] {
        Logger::create()->info("restarted");
        Debug::log_debug("traced");
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    const std::string prog = Logger::find_progname();
    EXPECT_EQ(echoed(), "info: info [" + prog + "] restarted\ndebug: debug [" + prog + "] traced\n");

    Console::set_sink({});
    auto bare = capture_console([&] { Logger::create()->info("no reader yet"); });
    EXPECT_EQ(bare.first, "");
    EXPECT_EQ(bare.second, "info [" + prog + "] no reader yet\n");
}

TEST_F(LoggerTest, ConsoleFormsAndCplog) {
    Logger::IS_TERMINAL = &always_terminal;
    auto stamped = Logger::create({.timestamp_prefix = true});
    Logger::Entry full("whole line");
    full.use_fullmsg = true;
    full.service = "svc";
    auto [out, err] = capture_console([&] {
        stamped->info(Logger::Entry("short"));
        Logger::create()->warn(full);
    });
    static const Regex stamped_form(R"(^info: \[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4}\] info \[)");
    const std::string shown = echoed();
    EXPECT_TRUE(stamped_form.test(shown)) << shown;
    EXPECT_EQ(out, "");
    const std::string text = log();
    const std::size_t warn_at = text.find("] warn [svc] whole line");
    ASSERT_NE(warn_at, std::string::npos);
    EXPECT_EQ(err, text.substr(text.rfind('\n', warn_at) + 1));  // the whole log line

    auto cp = capture_console([&] {
        Logger::create()->cplog("free form", "audit", "other-service");
        Logger::create()->cplog("not shown", "audit", "other-service", true);
    });
    EXPECT_EQ(cp.first, "");
    EXPECT_EQ(echoed(), "audit: audit [other-service] free form\n");
    EXPECT_NE(log().find("] audit [other-service] not shown\n"), std::string::npos);
}

TEST_F(LoggerTest, DieAndPanicWriteBeforeThrowing) {
    Logger::IS_TERMINAL = &always_terminal;
    auto logger = Logger::create();
    std::string what;
    auto console = capture_console([&] {
        try {
            logger->die("the end");
        } catch (const PlainError& e) {
            what = e.what();
        }
    });
    EXPECT_EQ(what, "die [pid " + std::to_string(::getpid()) + "]: the end");
    EXPECT_NE(log().find("] die ["), std::string::npos);
    EXPECT_NE(log().find("the end\n"), std::string::npos);
    EXPECT_NE(console.second.find("the end"), std::string::npos);

    Logger::IS_TERMINAL = &never_terminal;
    const mode_t old = ::umask(0);
    std::string panic_what;
    auto panic_console = capture_console([&] {
        try {
            Debug::log_panic("broken invariant");
        } catch (const PlainError& e) {
            panic_what = e.what();
        }
    });
    ::umask(old);
    EXPECT_NE(panic_what.find("panic [pid "), std::string::npos);
    // panic echoes to stderr even without a terminal, and is copied to the panic log.
    EXPECT_NE(panic_console.second.find("panic ["), std::string::npos);
    EXPECT_EQ(file_mode(panic_path), 0600u);
    EXPECT_NE(TempDir::read(panic_path).find("] panic ["), std::string::npos);
    EXPECT_NE(log().find("broken invariant"), std::string::npos);

    // invalid and deprecated are appended to the same panic log; die is not.
    logger->invalid("bad argument");
    logger->deprecated("old call");
    const std::string panic_log = TempDir::read(panic_path);
    EXPECT_EQ(count_lines(panic_log), 3) << panic_log;
    EXPECT_EQ(panic_log.find("the end"), std::string::npos);
    EXPECT_NE(panic_log.find("] deprecated ["), std::string::npos);
}

TEST_F(LoggerTest, UnusableLogFallsBackToStandardError) {
    Logger::STD_LOG_FILE = dir / "missing/dir/error_log";
    auto logger = Logger::create();
    bool status = false;
    auto console = capture_console([&] { status = logger->warn("nowhere to go"); });
    EXPECT_TRUE(status);
    EXPECT_TRUE(logger->usingstderr());
    EXPECT_NE(console.second.find("] warn ["), std::string::npos);
    EXPECT_NE(console.second.find("nowhere to go"), std::string::npos);

    // A dangling symbolic link is not followed into a new file.
    ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    Logger::STD_LOG_FILE = dir / "link";
    Logger::clear_singleton_stash();
    capture_console([&] { Logger::create()->warn("x"); });
    EXPECT_NE(::access((dir / "target").c_str(), F_OK), 0);

    // ALWAYS_OUTPUT_TO_STDERR sends even an open log's lines to standard error.
    auto opened = Logger::create({.open_now = true, .alternate_logfile = dir / "opened"});
    Logger::ALWAYS_OUTPUT_TO_STDERR = true;
    auto redirected = capture_console([&] { opened->info("forced"); });
    EXPECT_NE(redirected.second.find("] info ["), std::string::npos);
    EXPECT_TRUE(opened->usingstderr());
    EXPECT_EQ(TempDir::read(dir / "opened"), "");
    Logger::ALWAYS_OUTPUT_TO_STDERR = false;

    // use_no_files writes nothing anywhere but the console.
    Logger::IS_TERMINAL = &always_terminal;
    auto fileless = capture_console([&] { Logger::create({.use_no_files = true})->info("x"); });
    EXPECT_EQ(fileless.first, "");
    EXPECT_EQ(echoed(), "info: info [test_Tavrel_Foundation] x\n");
    EXPECT_EQ(fileless.second, "");

    // A descriptor that refuses writes only makes the call report failure.
    auto broken = Logger::create({.alternate_logfile = dir / "ro"});
    broken->set_fh(Fd::UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)));
    EXPECT_FALSE(broken->warn("lost"));
}

TEST_F(LoggerTest, ChildrenOfThePanelWebDaemonLogToStandardError) {
    Tavrel::TestSupport::FakeProc proc;
    const std::string parent = std::to_string(::getppid());
    proc.write(parent + "/cmdline", "hubsrvd - accepting connections\0"s);
    auto standard = Logger::create();
    capture_console([&] { standard->warn("to stderr"); });
    EXPECT_TRUE(standard->usingstderr());
    // An explicitly chosen log file is still used.
    auto alternate = Logger::create({.alternate_logfile = dir / "alt_log"});
    alternate->warn("to the file");
    EXPECT_FALSE(alternate->usingstderr());

    proc.write(parent + "/cmdline", "/usr/sbin/sshd\0-D\0"s);
    Logger::clear_singleton_stash();
    Logger::create()->warn("to the log");
    EXPECT_FALSE(Logger::create()->usingstderr());
}

TEST_F(LoggerTest, ProgramName) {
    EXPECT_EQ(Logger::progname_from("/usr/local/bin/foo.pl --x"), "foo");
    EXPECT_EQ(Logger::progname_from("zidavoveva_httpd"), "zidavoveva_httpd");
    EXPECT_EQ(Logger::progname_from("worker - busy"), "worker");
    EXPECT_EQ(Logger::progname_from(""), "");

    // From the real process file system: this test program.
    EXPECT_EQ(Logger::find_progname(), "test_Tavrel_Foundation");

    // A process that renamed itself to a whole title.
    Tavrel::TestSupport::FakeProc proc;
    proc.write("self/cmdline", "/usr/local/bin/foo.pl --x\0"s);
    EXPECT_EQ(Logger::find_progname(), "foo");
}

TEST_F(LoggerTest, ForkedChildLogsItsOwnPid) {
    auto logger = Logger::create({.log_pid = true});
    logger->info("parent line");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        logger->info("child line");
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    const std::string text = log();
    EXPECT_NE(text.find(":" + std::to_string(child) + "] child line\n"), std::string::npos) << text;
    EXPECT_NE(text.find(":" + std::to_string(::getpid()) + "] parent line\n"), std::string::npos);
}

TEST_F(LoggerTest, ConcurrentWritersNeverSplitALine) {
    const std::string payload(3000, 'x');
    std::vector<pid_t> children;
    for (int i = 0; i < 4; ++i) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            auto logger = Logger::create({.log_pid = true});
            for (int n = 0; n < 200; ++n)
                logger->info(payload);
            ::_exit(0);
        }
        children.push_back(child);
    }
    for (pid_t child : children)
        ::waitpid(child, nullptr, 0);
    const std::string text = log();
    static const Regex whole(R"(^\[[^\]]+\] info \[\w+:\d+\] x{3000}$)");
    int lines = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        ASSERT_TRUE(whole.test(std::string_view(text).substr(start, end - start)));
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, 800);
}

TEST_F(LoggerTest, Timestamp) {
    const char* saved = std::getenv("TZ");
    const std::string saved_tz = saved ? saved : "";
    ::setenv("TZ", "IST-05:30", 1);
    ::tzset();
    EXPECT_EQ(Logger::format_timestamp(0), "1970-01-01 05:30:00 +0530");
    EXPECT_EQ(Logger::format_timestamp(86399, "T"), "1970-01-02T05:29:59 +0530");
    ::setenv("TZ", "EST+5", 1);
    ::tzset();
    EXPECT_EQ(Logger::format_timestamp(0), "1969-12-31 19:00:00 -0500");
    if (saved)
        ::setenv("TZ", saved_tz.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();

    static const Regex format(R"(^\d{4}-\d\d-\d\d_\d\d:\d\d:\d\d [+-]\d{4}$)");
    const std::string now = Logger::get_timestamp("_");
    EXPECT_TRUE(format.test(now)) << now;
    EXPECT_NE(Logger::get_timestamp(), now);  // the cache tells delimiters apart
}

TEST_F(LoggerTest, BacktraceFlag) {
    EXPECT_FALSE(Logger::create()->get_backtrace());
    write_file(Logger::TRACE_TOUCH_FILE, "");
    EXPECT_TRUE(Logger::create({.no_load_from_cache = true})->get_backtrace());
    EXPECT_FALSE(Logger::create({.backtrace = false})->get_backtrace());
    Logger::ENABLE_BACKTRACE = false;
    EXPECT_FALSE(Logger::create({.backtrace = true})->get_backtrace());
    Logger::ENABLE_BACKTRACE = true;
    auto traced = Logger::create({.alternate_logfile = log_path});
    EXPECT_TRUE(traced->get_backtrace());

    traced->warn("with trace");
    traced->info("info never traced");
    const std::string text = log();
    EXPECT_NE(text.find("with trace\n\tat "), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("] info never traced\n")) << text;
    EXPECT_TRUE(traced->backtrace("msg").starts_with("msg\n\tat "));

    // The trace starts at the caller: no deeper than a trace taken right here
    // (which may carry a frame of its own capture).
    const std::string here = StackTrace::capture_text();
    traced->warn("depth check");
    const std::string after = log().substr(log().find("depth check\n") + 12);
    EXPECT_LE(count_lines(after), count_lines(here)) << after << "--\n" << here;
    EXPECT_GE(count_lines(after) + 1, count_lines(here)) << after << "--\n" << here;
}

TEST_F(LoggerTest, DebugShortcuts) {
    Logger::ENABLE_BACKTRACE = true;
    errno = EACCES;
    Debug::log_warn("shortcut warning");
    Debug::log_warn_no_backtrace("plain warning");
    EXPECT_EQ(errno, EACCES);
    std::string text = log();
    EXPECT_NE(text.find("shortcut warning\n\tat "), std::string::npos);
    EXPECT_NE(text.find("plain warning\n"), std::string::npos);
    EXPECT_EQ(text.find("plain warning\n\tat "), std::string::npos);

    Logger::ENABLE_BACKTRACE = false;
    Debug::log_debug("hidden");
    EXPECT_EQ(log().find("hidden"), std::string::npos);
    EXPECT_EQ(Debug::debug_level(1), 1);
    auto out = capture_console([&] {
        Debug::log_debug("shown");
        Logger::create()->debug();
        Logger::create()->debug_value({{"key", "value"}});
    });
    text = log();
    EXPECT_NE(text.find("] debug ["), std::string::npos);
    EXPECT_NE(text.find("shown\n"), std::string::npos);
    EXPECT_NE(text.find("Logger_test.cpp line "), std::string::npos);
    EXPECT_NE(text.find(R"({"key":"value"})"), std::string::npos);
    EXPECT_EQ(out.first, "");
    EXPECT_EQ(echoed(), "");  // debug is echoed only when stdout is a terminal

    errno = ENOENT;
    EXPECT_THROW(Debug::log_die("stop"), PlainError);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(LoggerTest, RedirectStandardErrorToTheLog) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::umask(0);
        bool ok = Logger::redirect_stderr_to_error_log();
        ok = ::write(STDERR_FILENO, "via stderr\n", 11) == 11 && ok;
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(log(), "via stderr\n");
    EXPECT_EQ(file_mode(log_path), 0600u);

    Logger::STD_LOG_FILE = dir / "missing/error_log";
    EXPECT_FALSE(Logger::redirect_stderr_to_error_log());
}

}  // namespace
}  // namespace Tavrel::Foundation
