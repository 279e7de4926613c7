// Tavrel::Foundation::Logger: timestamped lines in the main error log, echoed to the console
// according to the level and to whether the process has a terminal.
//
// Loggers are shared: create() with the same options returns the same object for
// the life of the process (unless `no_load_from_cache` asks for a fresh one).
//
//   auto log = Tavrel::Foundation::Logger::create();
//   log->warn("Could not read " + path);          // log line; stderr only on a terminal
//   log->info("httpd restarted");                 // log line; shown when stdout is a terminal
//   log->die("impossible state");                 // log line, then throws Tavrel::Foundation::PlainError
//
// A log line looks like
//   [2026-12-08 14:19:59 +0100] warn [zidavoveva_httpd] Could not read /etc/x
// and, with `log_pid`, the service is followed by the pid: [zidavoveva_httpd:4242].
// The console form is "warn [zidavoveva_httpd] Could not read /etc/x", with the
// bracketed timestamp in front under `timestamp_prefix`.
//
// What would be echoed to standard output goes to the run's reader through
// Tavrel::Foundation::Console (the output object, or standard error before
// there is one): standard output carries nothing but the output object's text.
//
// Each line goes out in one write() on an append-mode descriptor, so lines of
// several processes sharing the log never interleave within a line. Nothing here
// throws for an unusable log: it falls back to standard error. Level methods keep
// the caller's errno and return true when every file write succeeded.
#pragma once

#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Foundation/Fd/Query.h"

#include <nlohmann/json.hpp>

#include <ctime>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

namespace Tavrel::Foundation {

class Logger final {
  public:
    // Process-wide settings.
    static inline std::string STD_LOG_FILE = "/var/log/zidavoveva/error_log";
    static inline std::string PANIC_LOG_FILE = "/var/log/zidavoveva/panic_log";
    // While this file exists, back-traces are on unless a logger or ENABLE_BACKTRACE says no.
    static inline std::string TRACE_TOUCH_FILE = "/var/zidavoveva/log_backtraces";
    // When set, overrides every logger's back-trace flag.
    static inline std::optional<bool> ENABLE_BACKTRACE;
    // When set, nothing is echoed to the console.
    static inline bool DISABLE_OUTPUT = false;
    // When set, log lines go to standard error instead of the log file.
    static inline bool ALWAYS_OUTPUT_TO_STDERR = false;
    // Children of this daemon log to standard error, which it collects itself.
    static inline std::string PANEL_WEB_DAEMON = "hubsrvd";
    // Whether `fd` is a terminal, as the colour choice answers it
    // (the colour choice asks the same); tests replace it to force either answer.
    static inline bool (*IS_TERMINAL)(int fd) = &Fd::Query::is_terminal;

    struct Options {
        bool open_now = false;      // open the log at construction; info stays off the console
        bool use_no_files = false;  // never write the log file
        std::optional<std::string> alternate_logfile = std::nullopt;
        bool log_pid = false;           // put the pid after the service in log lines
        bool timestamp_prefix = false;  // put the timestamp in front of console lines
        bool use_stdout = false;        // echo to the reader even when stdout is not a terminal
        std::optional<bool> backtrace = std::nullopt;  // back-trace default for this logger
        bool no_load_from_cache = false;               // always build a fresh logger
    };

    // One record to write. Converts from a plain message; unset fields take the
    // level method's or the logger's defaults.
    struct Entry {
        Entry() = default;
        Entry(std::string_view m) : message(std::string(m)) {}
        Entry(const char* m) : message(std::string(m)) {}
        Entry(const std::string& m) : message(m) {}

        std::optional<std::string> message;
        std::string level;
        std::optional<std::string> service;  // default find_progname()
        std::optional<int> output;           // 0 none, 1 the reader (Console), 2 stderr, 3 both
        std::optional<bool> backtrace;
        bool die = false;  // throw a PlainError after writing
        bool use_no_files = false;
        bool use_fullmsg = false;  // echo the whole log line
        // Return address where the caller's part of the stack begins; frames
        // inside the logger (and its shortcuts) are cut from back-traces.
        const void* trace_origin = nullptr;
    };

    static constexpr std::string_view PLACEHOLDER_MESSAGE = "(no message given)";

    // The shared logger for these options; a fresh one under `no_load_from_cache`.
    // `open_now` with `use_no_files` is a PlainError.
    static std::shared_ptr<Logger> create(const Options& options);
    static std::shared_ptr<Logger> create();
    static std::shared_ptr<Logger> instance(const Options& options) { return create(options); }
    static std::shared_ptr<Logger> instance() { return create(); }
    // Forgets every shared logger (objects still held elsewhere live on).
    static void clear_singleton_stash();

    // Levels. info: the reader (when stdout is a terminal) unless built with
    // open_now. warn/error/die: stderr when stdin is a terminal. panic: stderr,
    // throws, panic log. invalid/deprecated: no echo, panic log. raw: written
    // unchanged. die and panic throw after writing.
    [[gnu::noinline]] bool info(Entry entry);
    bool success(Entry entry);
    bool out(Entry entry);
    [[gnu::noinline]] bool warn(Entry entry);
    bool warning(Entry entry);
    [[gnu::noinline]] bool error(Entry entry);
    [[gnu::noinline, noreturn]] void die(Entry entry);
    [[noreturn]] void fatal(Entry entry);
    [[noreturn]] void throw_(Entry entry);  // "throw" is a keyword
    [[gnu::noinline, noreturn]] void panic(Entry entry);
    [[gnu::noinline]] bool invalid(Entry entry);
    [[gnu::noinline]] bool deprecated(Entry entry);
    bool raw(Entry entry);
    // Written only when `force` or the debug level is above 0; echoed to the reader.
    // Without a message the line names the caller's file and line.
    [[gnu::noinline]] bool debug(std::optional<std::string_view> message = std::nullopt,
                                 bool force = false,
                                 std::source_location where = std::source_location::current());
    // A structured value, serialised and prefixed with the caller's place.
    [[gnu::noinline]] bool debug_value(
        const nlohmann::ordered_json& value, bool force = false,
        std::source_location where = std::source_location::current());
    // Free-form level and service; the reader unless `no_stdout`; back-trace while
    // TRACE_TOUCH_FILE exists.
    bool cplog(std::string_view message, std::string_view level, std::string_view service,
               bool no_stdout = false);

    // The common writer.
    [[gnu::noinline]] bool logger(Entry entry);

    // The log descriptor (-1 before the first write); set_fh takes ownership.
    int get_fh() const { return log_fd_; }
    void set_fh(Fd::UniqueFd fd);
    bool usingstderr() const { return usingstderr_; }

    bool get_backtrace() const { return backtrace_; }
    void set_backtrace(bool on) { backtrace_ = on; }
    // `message`, a newline and the caller's stack, without the logger's frames.
    [[gnu::noinline]] std::string backtrace(std::string_view message,
                                            const void* origin = nullptr) const;

    int cloned() const { return cloned_; }
    const Options& options() const { return options_; }

    // The program's short name: the process name's last path component, cut at
    // its first dot and first space. Cached with the pid, so a forked child
    // recomputes it.
    static std::string find_progname();
    static std::string progname_from(std::string_view name);

    // "YYYY-MM-DD<delimiter>HH:MM:SS +HHMM" in local time; cached for the second.
    static std::string get_timestamp(std::string_view delimiter = " ");
    static std::string format_timestamp(std::time_t when, std::string_view delimiter = " ");

    // Points standard error at the end of STD_LOG_FILE. False (stderr unchanged)
    // when the file cannot be opened.
    static bool redirect_stderr_to_error_log();

    struct Key {};  // restricts construction to create()
    Logger(Key, const Options& options);
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

  private:
    bool write_level(Entry entry, std::string_view level, int output, bool use_flag,
                     const void* origin);
    [[noreturn]] void die_level(Entry entry, std::string_view level, int output,
                                const void* origin);
    void open_logfile();
    bool parent_is_panel_web_daemon() const;
    std::string log_line(const Entry& entry, std::string_view text, bool with_pid) const;

    Options options_;
    Fd::UniqueFd owned_fd_;
    int log_fd_ = -1;
    bool usingstderr_ = false;
    int cloned_ = 0;
    bool backtrace_ = false;
};

}  // namespace Tavrel::Foundation
