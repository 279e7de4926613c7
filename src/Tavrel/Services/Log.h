// Tavrel::Services::Log: the text that tells why a service failed to start:
// its startup output and the recent lines of the system logs that mention
// its programs.
//
//   auto [ok, text] = Tavrel::Services::Log::fetch_service_startup_log("cron");
//   auto [found, lines] = Tavrel::Services::Log::fetch_service_log_messages("httpd", "httpd");
//   auto [read, tail] = Tavrel::Services::Log::fetch_log_tail("/var/log/syslog", 20);
//
// The startup log of a service that systemd runs is the journal excerpt of
// `systemctl status`; of any other service, the file the launcher filled
// (Tavrel::ZidavovEva::StartupLog). Logs are never read whole: at most
// `read_bytes` from the end of each, and only the last `max_messages` lines of
// that are candidates, newest first. Where a system log file is missing because
// the host keeps its log in the journal, the programs' recent journal lines
// (journalctl) stand in for it.
//
// Nothing here throws for an ordinary condition: every result is a pair of a
// success flag and a text, the text explaining a failure, so showing logs can
// never hide the failure that made us show them.
#pragma once

#include "Tavrel/ServiceManager/Manager/Backend.h"

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Tavrel {
class Regex;
}

namespace Tavrel::Services::Log {

// The system log directory: log names without a leading slash are in it.
inline std::string LOG_DIR = "/var/log";
inline std::size_t MAX_LOG_MESSAGES = 5;
// Bytes read from the end of a log by default; also the size above which the
// web server's startup log loses its warning lines.
inline std::size_t LOG_READ_BYTES = 8192;
// The general system logs of the two distribution families; the mail log
// (Tavrel::OS::maillog_path) is the third.
inline std::vector<std::string> SYSTEM_LOGS = {"messages", "syslog"};
// Where a host that logs to the journal keeps it; one existing directory means
// missing system log files are no error.
inline std::vector<std::string> JOURNAL_DIRS = {"/run/log/journal", "/var/log/journal"};
inline double JOURNAL_TIMEOUT = 10;
// The logs some services add, and the programs searched for.
inline std::string EXIM_MAINLOG = "exim_mainlog";
inline std::string PHP_FPM_ERROR_LOG = "/usr/local/tavrel/logs/php-fpm/error.log";
inline std::vector<std::string> FTP_PROGRAMS = {"pure-ftpd", "proftpd", "vsftpd"};
inline std::vector<std::string> HTTPD_PROGRAMS = {"httpd", "apache2"};
inline std::vector<std::string> MYSQL_PROGRAMS = {"mysqld", "mariadbd"};

inline std::string STARTUP_LOG_HEADER = "Startup Log";
inline std::string LOG_MESSAGES_HEADER = "Log Messages";

using Result = std::pair<bool, std::string>;
using UnitProperties = Tavrel::ServiceManager::Manager::UnitProperties;

struct LogEntry {
    std::size_t max_messages = MAX_LOG_MESSAGES;
    std::size_t read_bytes = LOG_READ_BYTES;
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
    const Regex* log_regex = nullptr;  // every non-empty line when null
};

Result fetch_service_startup_log(std::string_view service,
                                 const std::optional<UnitProperties>& service_via_systemd = {});
// `services` may name several, joined by "|" or "&".
Result fetch_service_log_messages(std::string_view services, std::string_view program);
Result fetch_log_tail(const std::string& path, std::size_t lines);

// The system logs searched for every service, computed once per process.
const std::vector<std::string>& logs_to_check();
// The file name of a mail-log path ("/var/log/mail.log" gives "mail.log");
// Tavrel::PlainError when the path has none.
std::string maillog_name(std::string_view maillog_path);

// Appends the wanted lines of one log to `text`: (1, errors) when the log was
// read, (0, errors) otherwise.
std::pair<int, std::vector<ReadError>> _read_log(std::string& text, const ReadOptions& options);
// The recent journal lines of the programs, newest first, filtered like a log.
std::pair<int, std::vector<ReadError>> _read_journal(std::string& text,
                                                     const std::vector<std::string>& programs,
                                                     std::size_t max_messages);
bool host_logs_to_journal();
// `systemctl status` of the unit, or nothing (with the reason in `error`)
// when systemctl could not be run.
std::optional<std::string> _systemctl_status(std::string_view unit, std::string* error = nullptr);
void _decruft_log_for_service(std::string_view service, std::string& text);
// The line filter for log lines written by one of the programs.
std::string program_line_pattern(const std::vector<std::string>& programs);

}  // namespace Tavrel::Services::Log
