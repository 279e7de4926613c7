#include "Tavrel/Init/Log.h"
#include "Tavrel/Init/Log/JournalFiles.h"

#include "Tavrel/Run/Binaries.h"
#include "Tavrel/Server/Apache.h"
#include "Tavrel/Config/OS.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Init/SysV/Startup.h"
#include "Tavrel/Init/SysV/StartupLog.h"
#include "Tavrel/Init/Systemd/Systemctl.h"
#include "testsupport/JournalHeader.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

namespace Log = Tavrel::Init::Log;
using Tavrel::TestSupport::TempDir;
using Apache = Tavrel::Server::Apache;

std::string lines(int from, int to, const std::string& tag = "line") {
    std::string out;
    for (int i = from; i <= to; ++i)
        out += tag + std::to_string(i) + "\n";
    return out;
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = {Log::LOG_DIR, Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR,
                  Tavrel::Config::OS::SYSTEMD_RUN_DIR, Tavrel::Init::Systemd::Systemctl::SYSTEMCTL,
                  Log::PHP_FPM_ERROR_LOG, Tavrel::Run::Binaries::ROOT_BIN,
                  Tavrel::Run::Binaries::SYSTEM_BIN};
        saved_journal_ = Log::JOURNAL_DIRS;
        saved_apache_ = Apache::ERROR_LOG_BY_FAMILY;
        saved_apache_default_ = Apache::DEFAULT_ERROR_LOG;
        Log::LOG_DIR = tmp_ / "log";
        Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR = tmp_ / "startup";
        Tavrel::Config::OS::SYSTEMD_RUN_DIR = tmp_ / "no-systemd";
        Log::JOURNAL_DIRS = {tmp_ / "no-journal"};
        Log::PHP_FPM_ERROR_LOG = tmp_ / "php-fpm/error.log";
        Apache::ERROR_LOG_BY_FAMILY.clear();
        Apache::DEFAULT_ERROR_LOG = tmp_ / "log/apache-error.log";
        std::filesystem::create_directories(tmp_ / "log");
        std::filesystem::create_directories(tmp_ / "startup");
        Log::forget_run_marks();
    }
    void TearDown() override {
        Log::LOG_DIR = saved_[0];
        Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR = saved_[1];
        Tavrel::Config::OS::SYSTEMD_RUN_DIR = saved_[2];
        Tavrel::Init::Systemd::Systemctl::SYSTEMCTL = saved_[3];
        Log::PHP_FPM_ERROR_LOG = saved_[4];
        Tavrel::Run::Binaries::ROOT_BIN = saved_[5];
        Tavrel::Run::Binaries::SYSTEM_BIN = saved_[6];
        Log::JOURNAL_DIRS = saved_journal_;
        Apache::ERROR_LOG_BY_FAMILY = saved_apache_;
        Apache::DEFAULT_ERROR_LOG = saved_apache_default_;
        Log::RUN_START = saved_run_start_;
        Log::STARTUP_LOG_MAX_LINES = 40;
        Log::STARTUP_LOG_MAX_BYTES = 8192;
        Log::forget_run_marks();
    }
    std::string program(const std::string& rel, const std::string& body) {
        std::string path = tmp_.write(rel, "#!/bin/sh\n" + body);
        ::chmod(path.c_str(), 0755);
        return path;
    }
    std::vector<std::string> saved_, saved_journal_;
    std::map<std::string, std::string> saved_apache_;
    std::string saved_apache_default_;
    std::chrono::system_clock::time_point saved_run_start_ = Log::RUN_START;
    TempDir tmp_;
};

TEST_F(LogTest, ReadsOnlyTheTailOldestFirst) {
    std::string text;
    // Shorter than read_bytes: read from the start, first line kept.
    std::string shortlog = tmp_.write("short", lines(1, 3));
    auto [read, errors] = Log::_read_log(text, {.path = shortlog, .max_messages = 5});
    EXPECT_EQ(read, 1);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(text, "line1\nline2\nline3");

    // Longer: the cut first line is dropped; only max_messages are candidates.
    std::string longlog = tmp_.write("long", "0123456789\nabc\ndef\n");
    text = "before";
    Log::_read_log(text, {.path = longlog, .read_bytes = 12, .max_messages = 5});
    EXPECT_EQ(text, "before\nabc\ndef");
    text.clear();
    Log::_read_log(text, {.path = longlog, .read_bytes = 100, .max_messages = 2});
    EXPECT_EQ(text, "abc\ndef");

    // Candidates the filter refuses are dropped, so nothing may be left.
    Tavrel::Foundation::Regex only_x("x");
    text.clear();
    EXPECT_EQ(Log::_read_log(text, {.path = longlog, .log_regex = &only_x}).first, 1);
    EXPECT_EQ(text, "");
}

TEST_F(LogTest, ReadFailuresAreRecordsNotExceptions) {
    std::string text;
    auto [read, errors] = Log::_read_log(text, {.path = tmp_ / "missing", .file = "missing"});
    EXPECT_EQ(read, 0);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].op, "open");
    EXPECT_EQ(errors[0].file, "missing");
    EXPECT_EQ(errors[0].error, "No such file or directory");

    // A FIFO in the daemon's log directory answers at once.
    const std::string fifo = tmp_ / "fifo.log";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto not_a_file = Log::_read_log(text, {.path = fifo});
    EXPECT_EQ(not_a_file.first, 0);
    EXPECT_EQ(not_a_file.second.at(0).error, "not a regular file");

    auto empty = Log::_read_log(text, {.path = tmp_.write("empty", "")});
    EXPECT_EQ(empty.first, 0);
    EXPECT_EQ(empty.second.at(0).op, "read");

    auto tail = Log::fetch_log_tail(tmp_ / "missing", 5);
    EXPECT_FALSE(tail.first);
    EXPECT_NE(tail.second.find("Could not open"), std::string::npos) << tail.second;
    tail = Log::fetch_log_tail(tmp_.write("t", lines(1, 9)), 2);
    EXPECT_EQ(tail, Log::Result(true, "line8\nline9"));
}

TEST_F(LogTest, MailLogNameIsTheFileName) {
    EXPECT_EQ(Log::maillog_name("/var/log/mail.log"), "mail.log");
    EXPECT_EQ(Log::maillog_name("/var/log/maillog"), "maillog");
    EXPECT_THROW(Log::maillog_name("/"), Tavrel::Foundation::PlainError);
    EXPECT_THROW(Log::maillog_name(""), Tavrel::Foundation::PlainError);
    auto logs = Log::logs_to_check();
    ASSERT_EQ(logs.size(), 3u);
    EXPECT_EQ(logs[2], Log::maillog_name(Tavrel::Config::OS::maillog_path()));
}

TEST_F(LogTest, ProgramLinePatternSelectsLinesWrittenByTheProgram) {
    Tavrel::Foundation::Regex re(Log::program_line_pattern({"cron", "apache2"}));
    for (const char* yes : {"Dec  8 10:00:01 host cron[412]: (root) CMD (x)",
                            "Dec  8 10:00:01 host apache2: AH00558: x",
                            "Started /usr/sbin/cron -f", "systemd[1]: cron.service: Failed"})
        EXPECT_TRUE(re.test(yes)) << yes;
    for (const char* no : {"Dec  8 host crontab[3]: x", "Dec  8 host anacron[2]: job",
                           "my-cron.service: x", "nothing here"})
        EXPECT_FALSE(re.test(no)) << no;
}

TEST_F(LogTest, ServiceLogMessagesFromTheSystemLogs) {
    EXPECT_EQ(Log::fetch_service_log_messages("crond", "crond"), Log::Result(true, ""));

    tmp_.write("log/syslog", "Dec 8 host apache2[1]: old\nDec 8 host cron[2]: other\n"
                             "Dec 8 host apache2[1]: new\n");
    tmp_.write("log/apache-error.log", "[core:error] apache2: cannot bind\n");
    auto [ok, text] = Log::fetch_service_log_messages("httpd", "httpd");
    EXPECT_TRUE(ok);  // messages and the mail log are missing: no failure
    // Oldest first, as the log and the startup log above it read.
    EXPECT_NE(text.find("Dec 8 host apache2[1]: old\nDec 8 host apache2[1]: new"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("cannot bind"), std::string::npos);
    EXPECT_EQ(text.find("cron"), std::string::npos);

    std::filesystem::remove_all(tmp_ / "log");
    auto none = Log::fetch_service_log_messages("httpd", "httpd");
    EXPECT_FALSE(none.first);
    EXPECT_NE(none.second.find("“httpd”"), std::string::npos);
    EXPECT_NE(none.second.find("Could not open “" + tmp_ / "log/syslog" + "”"),
              std::string::npos)
        << none.second;
}

TEST_F(LogTest, MailServerAndPhpFpmKeepTheLinesOfTheirOwnLog) {
    tmp_.write("log/exim_mainlog", lines(1, 100, "msg"));
    auto [ok, text] = Log::fetch_service_log_messages("exim", "exim");
    EXPECT_TRUE(ok);
    EXPECT_EQ(text.rfind("msg37\nmsg38\n", 0), 0u) << text;
    EXPECT_TRUE(text.ends_with("msg99\nmsg100")) << text;
    EXPECT_NE(text.find("msg37"), std::string::npos);  // the last 64 lines
    EXPECT_EQ(text.find("msg36"), std::string::npos);

    tmp_.write("php-fpm/error.log", "[08-Dec-2026] WARNING: pool www seems busy\n");
    auto fpm = Log::fetch_service_log_messages("hub_php_fpm", "hub_php_fpm");
    EXPECT_EQ(fpm, Log::Result(true, "[08-Dec-2026] WARNING: pool www seems busy"));
}

TEST_F(LogTest, JournalStandsInForMissingSystemLogs) {
    std::filesystem::create_directories(tmp_ / "journal");
    Log::JOURNAL_DIRS = {tmp_ / "journal"};
    Tavrel::Run::Binaries::ROOT_BIN = Tavrel::Run::Binaries::SYSTEM_BIN = tmp_ / "bin";
    program("bin/journalctl", "printf '%s\\n' \"$@\" > " + tmp_ / "args" +
                                  "\necho 'Dec 08 10:00:01 host rsyslogd[9]: older'"
                                  "\necho 'Dec 08 10:00:02 host rsyslogd[9]: newest'\n");
    auto [ok, text] = Log::fetch_service_log_messages("rsyslogd", "rsyslogd");
    EXPECT_TRUE(ok);
    EXPECT_EQ(text,
              "Dec 08 10:00:01 host rsyslogd[9]: older\nDec 08 10:00:02 host rsyslogd[9]: newest");
    std::string args = TempDir::read(tmp_ / "args");
    EXPECT_NE(args.find("--identifier=rsyslogd\n"), std::string::npos) << args;
    // The journal's last lines in the order they were written, as a file's.
    EXPECT_EQ(args.find("--reverse\n"), std::string::npos) << args;

    // A system log that exists is read as before, beside the journal.
    tmp_.write("log/syslog", "Dec 8 host rsyslogd[9]: from the file\n");
    text = Log::fetch_service_log_messages("rsyslogd", "rsyslogd").second;
    EXPECT_NE(text.find("from the file"), std::string::npos);
    EXPECT_NE(text.find("newest"), std::string::npos);

    // A journal that cannot be read is one more error record.
    std::filesystem::remove(tmp_ / "log/syslog");
    program("bin/journalctl", "echo 'No journal files were found.' >&2\nexit 1\n");
    auto failed = Log::fetch_service_log_messages("rsyslogd", "rsyslogd");
    EXPECT_FALSE(failed.first);
    EXPECT_NE(failed.second.find("No journal files were found."), std::string::npos)
        << failed.second;
}

// On a busy server most of the journal is archived files that no line of
// this run can be in: journalctl is given only the files written since the
// run began, and is not run at all when there is none.
TEST_F(LogTest, TheJournalIsReadInTheFilesOfThisRunOnly) {
    const std::string machine = "0123456789abcdef0123456789abcdef";
    const std::string saved_id = Log::JournalFiles::MACHINE_ID_FILE;
    Log::JournalFiles::MACHINE_ID_FILE = tmp_.write("machine-id", machine + "\n");
    Log::JOURNAL_DIRS = {tmp_ / "journal"};
    Tavrel::Run::Binaries::ROOT_BIN = Tavrel::Run::Binaries::SYSTEM_BIN = tmp_ / "bin";
    program("bin/journalctl", "printf '%s\\n' \"$@\" > " + tmp_ / "args" +
                                  "\necho 'Dec 11 10:00:02 host rsyslogd[9]: of this run'\n");
    Log::RUN_START = std::chrono::system_clock::now();
    const auto start_us = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Log::RUN_START.time_since_epoch()).count());
    const std::string old = tmp_.write("journal/" + machine + "/system@1-2.journal",
                                       Tavrel::TestSupport::journal_header(start_us - 1000000));

    auto none = Log::fetch_service_log_messages("rsyslogd", "rsyslogd");
    EXPECT_TRUE(none.first);
    EXPECT_EQ(none.second, "");
    EXPECT_FALSE(std::filesystem::exists(tmp_ / "args"));

    const std::string active = tmp_.write("journal/" + machine + "/system.journal",
                                          Tavrel::TestSupport::journal_header(start_us + 10));
    auto read = Log::fetch_service_log_messages("rsyslogd", "rsyslogd");
    EXPECT_EQ(read.second, "Dec 11 10:00:02 host rsyslogd[9]: of this run");
    const std::string args = TempDir::read(tmp_ / "args");
    EXPECT_NE(args.find("--file=" + active + "\n"), std::string::npos) << args;
    EXPECT_EQ(args.find(old), std::string::npos) << args;
    Log::JournalFiles::MACHINE_ID_FILE = saved_id;
}

TEST_F(LogTest, StartupLogIsWhatThisRunWroteToIt) {
    EXPECT_FALSE(Log::fetch_service_startup_log("../etc").first);
    EXPECT_FALSE(Log::fetch_service_startup_log("cron").first);
    // An earlier run's output, and an earlier stop's failure, are not this run's.
    tmp_.write("startup/cron", "run 1: stop failed: no pid file\n");
    EXPECT_FALSE(Log::fetch_service_startup_log("cron").first);
    Tavrel::Init::SysV::append_to_startup_log("cron", "run 2: stop failed: no pid file\n");
    Tavrel::Init::SysV::append_to_startup_log("cron", "run 2: again\n");
    EXPECT_EQ(Log::fetch_service_startup_log("cron"),
              Log::Result(true, "run 2: stop failed: no pid file\nrun 2: again\n"));
    // A start that wipes the log makes all of it this run's.
    Tavrel::Init::SysV::_open_startup_log("cron", Tavrel::Init::SysV::StartupLogMode::Write);
    Tavrel::Init::SysV::append_to_startup_log("cron", "started\n");
    EXPECT_EQ(Log::fetch_service_startup_log("cron").second, "started\n");
    // Rotated away meanwhile: the new file is wholly this run's.
    std::filesystem::rename(tmp_ / "startup/cron", tmp_ / "startup/cron.1");
    tmp_.write("startup/cron", "after the rotation\n");
    EXPECT_EQ(Log::fetch_service_startup_log("cron").second, "after the rotation\n");
    // Older names share the log their service writes, and its mark.
    Tavrel::Init::SysV::append_to_startup_log("pure-ftpd", "ftp started\n");
    EXPECT_EQ(Log::fetch_service_startup_log("proftpd").second, "ftp started\n");
}

TEST_F(LogTest, StartupLogShowsOnlyItsLastLinesAndBytes) {
    Log::STARTUP_LOG_MAX_LINES = 3;
    Tavrel::Init::SysV::append_to_startup_log("cron", lines(1, 10));
    const std::string left_out =
        "[earlier lines left out; the whole log is " + tmp_ / "startup/cron" + "]\n";
    EXPECT_EQ(Log::fetch_service_startup_log("cron").second,
              left_out + "line8\nline9\nline10\n");
    Log::STARTUP_LOG_MAX_LINES = 40;
    Log::STARTUP_LOG_MAX_BYTES = 14;  // "line9\nline10\n" is 13: a cut line goes
    EXPECT_EQ(Log::fetch_service_startup_log("cron").second, left_out + "line9\nline10\n");
    Log::STARTUP_LOG_MAX_BYTES = 8192;
    EXPECT_EQ(Log::fetch_service_startup_log("cron").second, lines(1, 10));
}

TEST_F(LogTest, StartupLogUnderSystemdIsTheUnitsJournalSinceTheRunStarted) {
    std::filesystem::create_directories(tmp_ / "systemd");
    Tavrel::Config::OS::SYSTEMD_RUN_DIR = tmp_ / "systemd";
    Tavrel::Run::Binaries::ROOT_BIN = Tavrel::Run::Binaries::SYSTEM_BIN = tmp_ / "bin";
    Log::RUN_START = std::chrono::system_clock::time_point(std::chrono::microseconds(1765000000000042));
    // Newest first, as --reverse gives them; the control character comes
    // as journald writes a MESSAGE that holds one: a list of bytes.
    program("bin/journalctl",
            "printf '%s\\n' \"$@\" > " + tmp_ / "args" +
                "\necho '{\"__CURSOR\":\"s=2\",\"MESSAGE\":\"ssh.service: Control process exited, "
                "code=exited, status=255/EXCEPTION\"}'"
                "\necho '{\"__CURSOR\":\"s=1\",\"MESSAGE\":[66,97,100,27,33]}'"
                "\necho '{\"__CURSOR\":\"s=0\",\"MESSAGE\":\"/etc/ssh/sshd_config: line 123: Bad "
                "configuration option: Nonsense\"}'\n");
    Log::UnitProperties unit = {{"Id", "ssh.service"}};
    auto [ok, text] = Log::fetch_service_startup_log("sshd", unit);
    EXPECT_TRUE(ok);
    EXPECT_EQ(text, "/etc/ssh/sshd_config: line 123: Bad configuration option: Nonsense\n"
                    "Bad\x1b!\n"
                    "ssh.service: Control process exited, code=exited, status=255/EXCEPTION\n");
    std::string args = TempDir::read(tmp_ / "args");
    for (const char* arg : {"--unit=ssh.service\n", "--since=@1765000000.000042\n",
                            "--output=json\n", "--reverse\n", "--lines=40\n"})
        EXPECT_NE(args.find(arg), std::string::npos) << arg << " not in " << args;

    program("bin/journalctl", "echo 'Failed to open journal' >&2\nexit 1\n");
    auto failed = Log::fetch_service_startup_log("sshd", unit);
    EXPECT_FALSE(failed.first);
    EXPECT_NE(failed.second.find("Failed to open journal"), std::string::npos) << failed.second;
}

// A unit that prints 2,000 lines and then its error: the error is what
// must be shown. The stand-in journalctl counts --lines as the real one does:
// from the first line since --since, unless --reverse makes it count from
// the newest back.
TEST_F(LogTest, StartupLogUnderSystemdIsTheEndOfWhatTheUnitPrinted) {
    std::filesystem::create_directories(tmp_ / "systemd");
    Tavrel::Config::OS::SYSTEMD_RUN_DIR = tmp_ / "systemd";
    Tavrel::Run::Binaries::ROOT_BIN = Tavrel::Run::Binaries::SYSTEM_BIN = tmp_ / "bin";
    std::string records;
    for (int i = 1; i <= 2000; ++i)
        records += "{\"MESSAGE\":\"filler " + std::to_string(i) + "\"}\n";
    records += "{\"MESSAGE\":\"zfill: error: cannot bind to port 80\"}\n";
    tmp_.write("journal", records);
    program("bin/journalctl",
            "n=10; rev=; for a; do case $a in --lines=*) n=${a#--lines=};; --reverse) rev=1;; esac; done\n"
            "if [ -n \"$rev\" ]; then /usr/bin/tac " + tmp_ / "journal" + " | /usr/bin/head -n \"$n\"; "
            "else /usr/bin/head -n \"$n\" " + tmp_ / "journal" + "; fi\n");
    auto [ok, text] = Log::fetch_service_startup_log("zfill", Log::UnitProperties{{"Id", "zfill.service"}});
    ASSERT_TRUE(ok) << text;
    EXPECT_TRUE(text.ends_with("filler 2000\nzfill: error: cannot bind to port 80\n")) << text;
    EXPECT_TRUE(text.starts_with("filler 1962\n")) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 40);
    // At most 8 KiB of it too: long lines leave the oldest out.
    Log::STARTUP_LOG_MAX_BYTES = 100;
    text = Log::fetch_service_startup_log("zfill", Log::UnitProperties{{"Id", "zfill.service"}}).second;
    EXPECT_LE(text.size(), 100u);
    EXPECT_TRUE(text.ends_with("zfill: error: cannot bind to port 80\n")) << text;
}

TEST_F(LogTest, ServiceLogsMarkedAtTheRunStartShowOnlyWhatTheRunAdded) {
    // The web server's error log names the cause in lines that never name
    // the program: they are all kept, but only those of this run.
    tmp_.write("log/apache-error.log", "[ssl:emerg] [pid 7] AH02562: an old failure\n");
    tmp_.write("log/syslog", "Dec 8 host apache2[1]: old\n");
    Log::mark_logs_at_run_start("httpd");
    EXPECT_EQ(Log::fetch_service_log_messages("httpd", "httpd"), Log::Result(true, ""));
    std::ofstream(tmp_ / "log/apache-error.log", std::ios::app)
        << "[ssl:emerg] [pid 9] AH02562: Failed to configure certificate, check /etc/hostname\n"
           "AH00016: Configuration Failed\n";
    std::ofstream(tmp_ / "log/syslog", std::ios::app) << "Dec 8 host cron[2]: other\n";
    EXPECT_EQ(Log::fetch_service_log_messages("httpd", "httpd"),
              Log::Result(true, "[ssl:emerg] [pid 9] AH02562: Failed to configure certificate, "
                                "check /etc/hostname\nAH00016: Configuration Failed"));
    // A log that did not exist at the start is wholly this run's.
    tmp_.write("log/" + Log::logs_to_check()[2], "Dec 8 host apache2[3]: new\n");
    EXPECT_NE(Log::fetch_service_log_messages("httpd", "httpd").second.find("apache2[3]: new"),
              std::string::npos);
}

TEST_F(LogTest, LongWebServerStartupLogLosesItsWarnings) {
    std::string errors = "AH00015: Unable to open logs\n";
    std::string warnings = "Warning: DocumentRoot [/x] does not exist\n"
                           "httpd: Warning: something\n"
                           "[Tue Dec 08 10:00:00 2026] [warn] _default_ overlap\n";
    std::string text = warnings + errors;
    Log::_decruft_log_for_service("httpd", text);
    EXPECT_EQ(text, warnings + errors);  // short: untouched

    std::string filler(Log::LOG_READ_BYTES, 'x');
    text = warnings + filler + "\n" + warnings + errors;
    Log::_decruft_log_for_service("httpd", text);
    EXPECT_EQ(text, filler + "\n" + errors);
    text = warnings + filler;
    Log::_decruft_log_for_service("cron", text);
    EXPECT_EQ(text, warnings + filler);
}

}  // namespace
