// Tavrel::Init::Log: the text that tells why a service failed to start:
// its startup output and the recent lines of the system logs that mention
// its programs.
//
//   auto [ok, text] = Tavrel::Init::Log::fetch_service_startup_log("cron");
//   auto [found, lines] = Tavrel::Init::Log::fetch_service_log_messages("httpd", "httpd");
//   auto [read, tail] = Tavrel::Init::Log::fetch_log_tail("/var/log/syslog", 20);
//
// What a run shows is what the run itself caused: the startup log of a
// service that systemd runs is its unit's journal since RUN_START (every
// process of the unit, its pre-start commands too); of any other service, the
// part of the file the launcher filled (Tavrel::Init::SysV::StartupLog) that
// this run wrote. A log marked at the run's start (mark_logs_at_run_start) is
// read from that mark on, so an old failure is never shown as this run's.
// Logs are never read whole: at most `read_bytes` from the end of each, and
// only the last `max_messages` lines of that are candidates, oldest first.
// Where a system log file is missing because the host keeps its log in the
// journal, the programs' journal lines (journalctl) stand in for it.
//
// Nothing here throws for an ordinary condition: every result is a pair of a
// success flag and a text, the text explaining a failure, so showing logs can
// never hide the failure that made us show them.
#pragma once

#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Init/Backend.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Tavrel::Foundation {
class Regex;
}

namespace Tavrel::Init::Log {

// The system log directory: log names without a leading slash are in it.
inline std::string LOG_DIR = "/var/log";
inline std::size_t MAX_LOG_MESSAGES = 5;
// Bytes read from the end of a log by default; also the size above which the
// web server's startup log loses its warning lines.
inline std::size_t LOG_READ_BYTES = 8192;
// The general system logs of the two distribution families; the mail log
// (Tavrel::Config::OS::maillog_path) is the third.
inline std::vector<std::string> SYSTEM_LOGS = {"messages", "syslog"};
// Where a host that logs to the journal keeps it; one existing directory means
// missing system log files are no error.
inline std::vector<std::string> JOURNAL_DIRS = {"/run/log/journal", "/var/log/journal"};
inline double JOURNAL_TIMEOUT = 10;
// When this run started: journal lines older than this are another run's.
// The entry program sets it as it starts.
inline std::chrono::system_clock::time_point RUN_START = std::chrono::system_clock::now();
// The most of a startup log shown after a run: its last lines, in bytes too.
inline std::size_t STARTUP_LOG_MAX_LINES = 40;
inline std::size_t STARTUP_LOG_MAX_BYTES = 8192;
// The logs some services add, and the programs searched for.
inline std::string EXIM_MAINLOG = "exim_mainlog";
inline std::string PHP_FPM_ERROR_LOG = "/usr/local/tavrel/logs/php-fpm/error.log";
inline std::vector<std::string> FTP_PROGRAMS = {"pure-ftpd", "proftpd", "vsftpd"};
inline std::vector<std::string> HTTPD_PROGRAMS = {"httpd", "apache2"};
inline std::vector<std::string> MYSQL_PROGRAMS = {"mysqld", "mariadbd"};

inline std::string STARTUP_LOG_HEADER = "Startup Log";
inline std::string LOG_MESSAGES_HEADER = "Log Messages";

using Result = std::pair<bool, std::string>;
using UnitProperties = Init::UnitProperties;

struct LogEntry {
    std::size_t max_messages = MAX_LOG_MESSAGES;
    std::size_t read_bytes = LOG_READ_BYTES;
    // The service's own log (its error log): every line is the service's, so
    // none is filtered out by program name.
    bool own = false;
};

struct ReadError {
    std::string op;  // "open", "seek", "read" or "journal"
    std::string file;
    std::string path;
    std::string error;
};

struct ReadOptions {
    std::string path{};
    std::string file{};  // the name as given; the path when empty
    std::size_t read_bytes = LOG_READ_BYTES;
    std::size_t max_messages = MAX_LOG_MESSAGES;
    const Foundation::Regex* log_regex = nullptr;  // every non-empty line when null
};

Result fetch_service_startup_log(std::string_view service,
                                 const std::optional<UnitProperties>& service_via_systemd = {});
// `services` may name several, joined by "|" or "&".
Result fetch_service_log_messages(std::string_view services, std::string_view program);
Result fetch_log_tail(const std::string& path, std::size_t lines);

// Notes where this run's part of each log of the service begins (their sizes
// now), so that what is shown after the run is what the run caused. A log
// missing now is wholly this run's when it appears. Never throws.
void mark_logs_at_run_start(std::string_view service);
// Notes where this run's part of the log open as `fd` begins: at 0 when this
// open truncated it, else at its end, unless this run has written to that
// very file already (its earlier part stays this run's).
void mark_log_opened(const std::string& path, int fd, bool truncated);
// Where this run's part of the log at `path`, now as `now`, begins; nothing
// when the log was never marked. A log replaced (rotated) or shortened since
// is this run's from its start.
std::optional<off_t> run_part_start(const std::string& path, const struct stat& now);
// Forgets the marks and the stand-ins below.
void forget_run_marks();
// The startup log at `path` could not be opened for writing (`why`): what
// the service prints in this run goes to `fd` instead (a file of this run's
// own, kept open here), and the startup log shown after the run is read from
// it, under a line that says the log could not be written.
void keep_startup_log_stand_in(const std::string& path, Foundation::Fd::UniqueFd fd,
                               std::string why);
// The descriptor of the stand-in kept for the startup log at `path`; -1 when
// there is none.
int startup_log_stand_in(const std::string& path);
// The service's logs read after a failure: the system logs, its own log, the
// programs named in their lines (empty: every line). Throws when its own log
// cannot be located.
std::map<std::string, LogEntry> logs_of_service(std::string_view services,
                                                std::string_view program,
                                                std::vector<std::string>& programs);

// The system logs searched for every service, computed once per process.
const std::vector<std::string>& logs_to_check();
// The file name of a mail-log path ("/var/log/mail.log" gives "mail.log");
// Tavrel::Foundation::PlainError when the path has none.
std::string maillog_name(std::string_view maillog_path);

// Appends the wanted lines of one log to `text`: (1, errors) when the log was
// read, (0, errors) otherwise.
std::pair<int, std::vector<ReadError>> _read_log(std::string& text, const ReadOptions& options);
// The recent journal lines of the programs, oldest first, filtered like a log.
std::pair<int, std::vector<ReadError>> _read_journal(std::string& text,
                                                     const std::vector<std::string>& programs,
                                                     std::size_t max_messages);
bool host_logs_to_journal();
// The unit's journal lines since RUN_START, oldest first, at most
// STARTUP_LOG_MAX_LINES and STARTUP_LOG_MAX_BYTES of them.
Result _unit_journal_since_run_start(const std::string& unit);
void _decruft_log_for_service(std::string_view service, std::string& text);
// The line filter for log lines written by one of the programs.
std::string program_line_pattern(const std::vector<std::string>& programs);

}  // namespace Tavrel::Init::Log
