// The logger writes with plain POSIX calls: the checked-file layer logs through
// it, so it cannot depend on that layer.
#include "Tavrel/Foundation/Logger.h"

#include "Tavrel/Foundation/Console.h"
#include "Tavrel/Foundation/ErrnoGuard.h"
#include "Tavrel/Foundation/IO/Flush.h"

#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Foundation/StackTrace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

namespace Tavrel::Foundation {

namespace {

// Opens `path` for appending; a file it creates gets exactly 0600 whatever the
// umask. An existing dangling symbolic link is not followed into a new file.
int open_append_private(const std::string& path) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::fchmod(fd, 0600);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        // Removed between the two opens: try again.
    }
    return -1;
}

std::string read_small_file(const std::string& path) {
    Fd::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return {};
    std::string text;
    char buffer[4096];
    while (text.size() < 65536) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

std::string first_field(const std::string& nul_separated) {
    return nul_separated.substr(0, nul_separated.find('\0'));
}

std::string trim_newline(std::string text) {
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

bool path_exists(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// Options as a key: only what differs from the defaults, in name order, so an
// option given with its default value shares the logger built without it.
std::string signature(const Logger::Options& o) {
    std::vector<std::string> parts;
    if (o.alternate_logfile)
        parts.push_back("alternate_logfile=" + *o.alternate_logfile);
    if (o.backtrace)
        parts.push_back(std::string("backtrace=") + (*o.backtrace ? "1" : "0"));
    if (o.log_pid)
        parts.push_back("log_pid=1");
    if (o.no_load_from_cache)
        parts.push_back("no_load_from_cache=1");
    if (o.open_now)
        parts.push_back("open_now=1");
    if (o.timestamp_prefix)
        parts.push_back("timestamp_prefix=1");
    if (o.use_no_files)
        parts.push_back("use_no_files=1");
    if (o.use_stdout)
        parts.push_back("use_stdout=1");
    if (parts.empty())
        return "Tavrel::Logger|(defaults)";
    std::string key = "Tavrel::Logger";
    for (const auto& part : parts)
        key += '\0' + part;
    return key;
}

struct Stash {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<Logger>> loggers;
};

Stash& stash() {
    static Stash* instance = new Stash;  // never destroyed: loggers may log during exit
    return *instance;
}

bool copies_to_panic_log(std::string_view level) {
    return level == "panic" || level == "invalid" || level == "deprecated";
}

}  // namespace

Logger::Logger(Key, const Options& options) : options_(options) {
    if (ENABLE_BACKTRACE)
        backtrace_ = *ENABLE_BACKTRACE;
    else if (options.backtrace)
        backtrace_ = *options.backtrace;
    else
        backtrace_ = path_exists(TRACE_TOUCH_FILE);
}

std::shared_ptr<Logger> Logger::create(const Options& options) {
    if (options.open_now && options.use_no_files)
        throw PlainError("A logger cannot both open its log file now and use no files.");
    const std::string key = signature(options);
    Stash& s = stash();
    std::shared_ptr<Logger> logger;
    {
        std::lock_guard lock(s.mutex);
        auto found = s.loggers.find(key);
        if (found != s.loggers.end() && !options.no_load_from_cache) {
            ++found->second->cloned_;
            return found->second;
        }
        logger = std::make_shared<Logger>(Key{}, options);
        s.loggers[key] = logger;
    }
    if (options.open_now && !options.use_no_files) {
        ErrnoGuard keep;
        logger->open_logfile();
    }
    return logger;
}

std::shared_ptr<Logger> Logger::create() {
    return create(Options{});
}

void Logger::clear_singleton_stash() {
    Stash& s = stash();
    std::lock_guard lock(s.mutex);
    s.loggers.clear();
}

// ---- levels ----------------------------------------------------------------

bool Logger::write_level(Entry entry, std::string_view level, int output, bool use_flag,
                         const void* origin) {
    entry.level = std::string(level);
    if (!entry.output)
        entry.output = output;
    if (!entry.backtrace)
        entry.backtrace = use_flag ? backtrace_ : false;
    if (!entry.trace_origin)
        entry.trace_origin = origin;
    return logger(std::move(entry));
}

void Logger::die_level(Entry entry, std::string_view level, int output, const void* origin) {
    entry.die = true;
    std::string message = entry.message.value_or(std::string(PLACEHOLDER_MESSAGE));
    write_level(std::move(entry), level, output, true, origin);
    throw PlainError(fmt::format("{} [pid {}]: {}", level, ::getpid(), message));
}

#define TAVREL_CALLER __builtin_return_address(0)

bool Logger::info(Entry e) {
    return write_level(std::move(e), "info", options_.open_now ? 0 : 1, false, TAVREL_CALLER);
}
bool Logger::success(Entry e) {
    return write_level(std::move(e), "info", options_.open_now ? 0 : 1, false, TAVREL_CALLER);
}
bool Logger::out(Entry e) {
    return write_level(std::move(e), "info", options_.open_now ? 0 : 1, false, TAVREL_CALLER);
}
bool Logger::warn(Entry e) {
    return write_level(std::move(e), "warn", IS_TERMINAL(0) ? 2 : 0, true, TAVREL_CALLER);
}
bool Logger::warning(Entry e) {
    return write_level(std::move(e), "warn", IS_TERMINAL(0) ? 2 : 0, true, TAVREL_CALLER);
}
bool Logger::error(Entry e) {
    return write_level(std::move(e), "error", IS_TERMINAL(0) ? 2 : 0, true, TAVREL_CALLER);
}
void Logger::die(Entry e) {
    die_level(std::move(e), "die", IS_TERMINAL(0) ? 2 : 0, TAVREL_CALLER);
}
void Logger::fatal(Entry e) {
    die_level(std::move(e), "die", IS_TERMINAL(0) ? 2 : 0, TAVREL_CALLER);
}
void Logger::throw_(Entry e) {
    die_level(std::move(e), "die", IS_TERMINAL(0) ? 2 : 0, TAVREL_CALLER);
}
void Logger::panic(Entry e) {
    die_level(std::move(e), "panic", 2, TAVREL_CALLER);
}
bool Logger::invalid(Entry e) {
    return write_level(std::move(e), "invalid", 0, true, TAVREL_CALLER);
}
bool Logger::deprecated(Entry e) {
    return write_level(std::move(e), "deprecated", 0, true, TAVREL_CALLER);
}
bool Logger::raw(Entry e) {
    return write_level(std::move(e), "raw", 0, false, TAVREL_CALLER);
}

bool Logger::debug(std::optional<std::string_view> message, bool force,
                   std::source_location where) {
    if (!force && Debug::debug_level() <= 0)
        return true;
    Entry e(message ? std::string(*message)
                    : fmt::format("debug at {} line {}", where.file_name(), where.line()));
    return write_level(std::move(e), "debug", 1, false, TAVREL_CALLER);
}

bool Logger::debug_value(const nlohmann::ordered_json& value, bool force,
                         std::source_location where) {
    if (!force && Debug::debug_level() <= 0)
        return true;
    Entry e(fmt::format("debug value at {} line {}: {}", where.file_name(), where.line(),
                        value.dump()));
    return write_level(std::move(e), "debug", 1, false, TAVREL_CALLER);
}

bool Logger::cplog(std::string_view message, std::string_view level, std::string_view service,
                   bool no_stdout) {
    Entry e(message);
    e.level = std::string(level);
    e.service = std::string(service);
    e.output = no_stdout ? 0 : 1;
    e.backtrace = path_exists(TRACE_TOUCH_FILE);
    e.trace_origin = TAVREL_CALLER;
    return logger(std::move(e));
}

// ---- the common writer -----------------------------------------------------

std::string Logger::log_line(const Entry& entry, std::string_view text, bool with_pid) const {
    std::string line = "[" + get_timestamp() + "] ";
    if (!entry.level.empty())
        line += entry.level + " ";
    line += "[" + entry.service.value_or(find_progname());
    if (with_pid)
        line += ":" + std::to_string(::getpid());
    line += "] ";
    line += text;
    return line;
}

bool Logger::logger(Entry entry) {
    ErrnoGuard keep;
    if (!entry.trace_origin)
        entry.trace_origin = TAVREL_CALLER;
    if (!entry.service)
        entry.service = find_progname();
    const bool raw_level = entry.level == "raw";
    std::string message = entry.message.value_or(std::string(PLACEHOLDER_MESSAGE));
    // A trailing newline is the caller's line end, not an empty line to log.
    if (!raw_level)
        message = trim_newline(std::move(message));
    const int output = DISABLE_OUTPUT ? 0 : entry.output.value_or(0);
    const bool with_trace = entry.backtrace.value_or(backtrace_);
    const std::string text = with_trace ? backtrace(message, entry.trace_origin) : message + "\n";
    const std::string line = raw_level ? message : log_line(entry, text, options_.log_pid);

    bool status = true;
    if (!entry.use_no_files && !options_.use_no_files) {
        if (ALWAYS_OUTPUT_TO_STDERR && !usingstderr_) {
            owned_fd_.reset();
            log_fd_ = STDERR_FILENO;
            usingstderr_ = true;
        } else if (log_fd_ < 0) {
            open_logfile();
        }
        if (!IO::Flush::append_record(log_fd_, line))
            status = false;
    }

    if (copies_to_panic_log(entry.level)) {
        Fd::UniqueFd panic_fd(open_append_private(PANIC_LOG_FILE));
        if (!IO::Flush::append_record(panic_fd.get(), log_line(entry, text, false)))
            status = false;
    }

    if (output != 0) {
        std::string console;
        if (entry.use_fullmsg) {
            console = line;
        } else {
            if (options_.timestamp_prefix)
                console = "[" + get_timestamp() + "] ";
            if (!entry.level.empty())
                console += entry.level + " ";
            console += "[" + *entry.service + "] " + message + "\n";
        }
        const bool to_reader =
            output == 3 || (output == 1 && (options_.use_stdout || IS_TERMINAL(STDOUT_FILENO)));
        // Standard output is the run's output object's: the echo goes through
        // it (a record under --json, a line of its own in text), never
        // between its records or into a line it left open.
        if (to_reader)
            Console::line(entry.level.empty() ? "log" : entry.level, console);
        // A console that went away (a caller that hung up) must not end the
        // run: the flush below meets EPIPE quietly, as the write does.
        if (output == 2 || output == 3) {
            {
                IO::Flush::QuietSigpipe quiet;
                std::fflush(stderr);
            }
            IO::Flush::try_write_all(STDERR_FILENO, console);
        }
    }

    if (entry.die || entry.level == "die" || entry.level == "panic") {
        throw PlainError(fmt::format("{} [pid {}]: {}", entry.level.empty() ? "die" : entry.level,
                                     ::getpid(), message));
    }
    return status;
}

// ---- the log descriptor ----------------------------------------------------

void Logger::set_fh(Fd::UniqueFd fd) {
    owned_fd_ = std::move(fd);
    log_fd_ = owned_fd_.get();
    usingstderr_ = false;
}

void Logger::open_logfile() {
    const std::string path = options_.alternate_logfile.value_or(STD_LOG_FILE);
    int fd = -1;
    // The panel's web daemon collects its children's standard error itself.
    if (!(path == STD_LOG_FILE && parent_is_panel_web_daemon()))
        fd = open_append_private(path);
    if (fd < 0) {
        owned_fd_.reset();
        log_fd_ = STDERR_FILENO;
        usingstderr_ = true;
        return;
    }
    owned_fd_.reset(fd);
    log_fd_ = fd;
    usingstderr_ = false;
}

bool Logger::parent_is_panel_web_daemon() const {
    const std::string dir = ProcFs::PROC_PATH + "/" + std::to_string(::getppid());
    const std::string command = first_field(read_small_file(dir + "/cmdline"));
    if (!command.empty() && progname_from(command) == PANEL_WEB_DAEMON)
        return true;
    return progname_from(trim_newline(read_small_file(dir + "/comm"))) == PANEL_WEB_DAEMON;
}

bool Logger::redirect_stderr_to_error_log() {
    ErrnoGuard keep;
    Fd::UniqueFd fd(open_append_private(STD_LOG_FILE));
    if (!fd)
        return false;
    std::fflush(stderr);
    return ::dup2(fd.get(), STDERR_FILENO) >= 0;
}

// ---- back-traces -----------------------------------------------------------

std::string Logger::backtrace(std::string_view message, const void* origin) const {
    if (!origin)
        origin = TAVREL_CALLER;
    StackTrace::Frames all = StackTrace::capture(0);
    auto from = std::find(all->begin(), all->end(), origin);
    if (from == all->end())
        from = all->begin();  // origin lost to inlining: keep everything
    auto frames = std::make_shared<const std::vector<void*>>(from, all->end());
    return std::string(message) + "\n" + StackTrace::to_text(frames);
}

// ---- program name ----------------------------------------------------------

std::string Logger::progname_from(std::string_view name) {
    const auto slash = name.rfind('/');
    if (slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    name = name.substr(0, name.find('.'));
    name = name.substr(0, name.find(' '));
    return std::string(name);
}

std::string Logger::find_progname() {
    struct Cache {
        pid_t pid = 0;
        std::string proc_path;
        std::string name;
    };
    static Cache cache;
    const pid_t pid = ::getpid();
    if (cache.pid == pid && cache.proc_path == ProcFs::PROC_PATH)
        return cache.name;

    const std::string self = ProcFs::PROC_PATH + "/self";
    std::string raw = first_field(read_small_file(self + "/cmdline"));
    if (raw.empty()) {
        char target[4096];
        ssize_t n = ::readlink((self + "/exe").c_str(), target, sizeof target - 1);
        if (n > 0)
            raw.assign(target, static_cast<std::size_t>(n));
    }
    if (raw.empty())
        raw = trim_newline(read_small_file(self + "/comm"));
    if (raw.empty())
        raw = program_invocation_name;
    cache = Cache{pid, ProcFs::PROC_PATH, progname_from(raw)};
    return cache.name;
}

// ---- timestamps ------------------------------------------------------------

std::string Logger::format_timestamp(std::time_t when, std::string_view delimiter) {
    struct tm local;
    if (!::localtime_r(&when, &local))
        return "0000-00-00" + std::string(delimiter) + "00:00:00";
    char date[32], time[32];
    std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    std::strftime(time, sizeof time, "%H:%M:%S", &local);
    const long offset = local.tm_gmtoff;
    const long magnitude = offset < 0 ? -offset : offset;
    return fmt::format("{}{}{} {}{:02}{:02}", date, delimiter, time, offset < 0 ? '-' : '+',
                       magnitude / 3600, magnitude % 3600 / 60);
}

std::string Logger::get_timestamp(std::string_view delimiter) {
    struct Cache {
        std::time_t second = -1;
        std::string delimiter;
        std::string text;
    };
    static Cache cache;
    const std::time_t now = std::time(nullptr);
    if (now != cache.second || delimiter != cache.delimiter)
        cache = Cache{now, std::string(delimiter), format_timestamp(now, delimiter)};
    return cache.text;
}

#undef TAVREL_CALLER

}  // namespace Tavrel::Foundation
