#include "Tavrel/Init/Log.h"

#include "Tavrel/Run/Binaries.h"
#include "Tavrel/Server/Apache.h"
#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Server/Database/Logs.h"
#include "Tavrel/Config/OS.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Run/SafeRun/Object.h"
#include "Tavrel/Foundation/Validate/Service.h"
#include "Tavrel/Init/Log/JournalFiles.h"
#include "Tavrel/Init/SysV/StartupLog.h"
#include "Tavrel/Init/Systemd/Systemctl.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

namespace Tavrel::Init::Log {

namespace {

// What a read that returned nothing records.
constexpr const char* NO_DATA = "no data was read";
constexpr const char* NOT_A_FILE = "not a regular file";

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

// The last `max` lines that the filter accepts of, oldest first as the log
// has them: read top down, like the startup log above them, they tell what
// happened in the order it happened.
void append_wanted(std::string& text, std::vector<std::string_view> lines, size_t max,
                   const Foundation::Regex* filter) {
    if (lines.size() > max)
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(max));
    std::string kept;
    for (auto line : lines) {
        if (line.empty() || (filter && !filter->test(line)))
            continue;
        if (!kept.empty())
            kept += '\n';
        kept += line;
    }
    if (kept.empty())
        return;
    if (!text.empty())
        text += '\n';
    text += kept;
}

std::string explain(std::string intro, const std::vector<ReadError>& errors) {
    for (const auto& e : errors) {
        intro += fmt::format(" Could not {} “{}”: {}", e.op, e.path, e.error);
        if (!e.error.ends_with('.'))
            intro += '.';
    }
    return intro;
}

bool matches(std::string_view text, const char* pattern) {
    return text.find(pattern) != std::string_view::npos;
}

// Where this run's part of a log begins, in the file it was then.
struct RunMark {
    dev_t dev = 0;
    ino_t ino = 0;  // 0: the log did not exist; all of it is this run's
    off_t offset = 0;
};

std::map<std::string, RunMark>& run_marks() {
    static std::map<std::string, RunMark> marks;
    return marks;
}

// What stands in for a startup log that could not be written, and why.
struct StandIn {
    Foundation::Fd::UniqueFd fd;
    std::string why;
};

std::map<std::string, StandIn>& stand_ins() {
    static std::map<std::string, StandIn> kept;
    return kept;
}

// The bytes [start, end) of the file, or nothing with errno set.
std::optional<std::string> read_range(int fd, off_t start, off_t end) {
    std::string bytes(static_cast<size_t>(end - start), '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = ::pread(fd, bytes.data() + got, bytes.size() - got,
                            start + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

// Keeps the last `max_lines` whole lines of `text` within `max_bytes`; true
// when something was left out. `cut` says the text starts mid-line.
bool keep_last_lines(std::string& text, size_t max_lines, size_t max_bytes, bool cut) {
    if (text.size() > max_bytes) {
        text.erase(0, text.size() - max_bytes);
        cut = true;
    }
    bool left_out = cut;
    if (cut) {
        size_t nl = text.find('\n');
        text.erase(0, nl == std::string::npos ? text.size() : nl + 1);
    }
    if (max_lines == 0) {
        left_out = left_out || !text.empty();
        text.clear();
        return left_out;
    }
    size_t pos = text.size();
    if (pos > 0 && text[pos - 1] == '\n')
        --pos;  // the final line end ends the last line
    for (size_t count = 1;; ++count) {
        size_t nl = pos == 0 ? std::string::npos : text.rfind('\n', pos - 1);
        if (nl == std::string::npos)
            break;
        if (count == max_lines) {
            text.erase(0, nl + 1);
            return true;
        }
        pos = nl;
    }
    return left_out;
}

// The MESSAGE of one entry of journalctl's JSON output: a text, or a list of
// bytes when it is not valid UTF-8 or holds control characters; nothing for
// an entry without one.
std::optional<std::string> journal_message(std::string_view record) {
    const auto entry = nlohmann::json::parse(record, nullptr, false);
    if (!entry.is_object())
        return std::nullopt;
    const auto it = entry.find("MESSAGE");
    if (it == entry.end())
        return std::nullopt;
    if (it->is_string())
        return it->get<std::string>();
    if (!it->is_array())
        return std::nullopt;
    std::string bytes;
    for (const auto& byte : *it) {
        if (byte.is_number_unsigned() || byte.is_number_integer())
            bytes += static_cast<char>(byte.get<int>() & 0xff);
    }
    return bytes;
}

std::uint64_t run_start_micros() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(RUN_START.time_since_epoch()).count());
}

// journalctl's option for the lines of this run: from the microsecond it
// began (a whole second would take in the end of a run just before).
std::string since_run_start() {
    const auto micros = run_start_micros();
    return fmt::format("--since=@{}.{:06}", micros / 1000000, micros % 1000000);
}

struct JournalRead {
    bool ok = true;
    std::string text;
    std::string why;  // when not ok
};

JournalRead run_journalctl(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& files) {
    std::vector<std::string> all = args;
    all.push_back(since_run_start());
    for (const auto& file : files)
        all.push_back("--file=" + file);
    Run::SafeRun::Object run({.program = program, .args = all, .timeout = JOURNAL_TIMEOUT});
    if (run.CHILD_ERROR() == 0)
        return {true, run.stdout_text(), ""};
    std::string why = run.stderr_text();
    while (!why.empty() && why.back() == '\n')
        why.pop_back();
    return {false, "", why.empty() ? run.terse_autopsy() : why};
}

// This run's lines of the journal: journalctl over only the files written
// to since the run began, where they can be told apart, so that a busy
// server's archived journal is never opened; over the whole journal when
// they cannot, or when journald renamed a chosen file away meanwhile (a
// rotation), whose lines a read by its path would have missed.
JournalRead read_journal_since_run_start(const std::string& program, const std::vector<std::string>& args) {
    const auto chosen = JournalFiles::written_since(JOURNAL_DIRS, run_start_micros());
    if (!chosen)
        return run_journalctl(program, args, {});
    if (chosen->paths.empty())
        return {};  // nothing written since the run began
    JournalRead read = run_journalctl(program, args, chosen->paths);
    const auto after = JournalFiles::written_since(JOURNAL_DIRS, run_start_micros());
    if (!after || !chosen->still_in(*after))
        return run_journalctl(program, args, {});
    return read;
}

}  // namespace

void mark_log_opened(const std::string& path, int fd, bool truncated) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return;
    auto& marks = run_marks();
    auto it = marks.find(path);
    if (!truncated && it != marks.end() && it->second.ino == st.st_ino &&
        it->second.dev == st.st_dev && it->second.offset <= st.st_size)
        return;
    marks[path] = {st.st_dev, st.st_ino, truncated ? 0 : st.st_size};
}

std::optional<off_t> run_part_start(const std::string& path, const struct stat& now) {
    const auto& marks = run_marks();
    auto it = marks.find(path);
    if (it == marks.end())
        return std::nullopt;
    const RunMark& m = it->second;
    if (m.ino != now.st_ino || m.dev != now.st_dev || m.offset > now.st_size)
        return 0;
    return m.offset;
}

void forget_run_marks() {
    run_marks().clear();
    stand_ins().clear();
}

void keep_startup_log_stand_in(const std::string& path, Foundation::Fd::UniqueFd fd,
                               std::string why) {
    stand_ins()[path] = {std::move(fd), std::move(why)};
}

int startup_log_stand_in(const std::string& path) {
    const auto it = stand_ins().find(path);
    return it == stand_ins().end() ? -1 : it->second.fd.get();
}

void mark_logs_at_run_start(std::string_view service) {
    try {
        std::vector<std::string> programs;
        for (const auto& [name, entry] : logs_of_service(service, service, programs)) {
            const std::string path = name.starts_with('/') ? name : LOG_DIR + "/" + name;
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0)
                run_marks()[path] = {st.st_dev, st.st_ino, st.st_size};
            else
                run_marks()[path] = {};
        }
    } catch (const std::exception&) {
        // Unmarked logs are shown by their tails, as a library caller gets them.
    }
}

std::string maillog_name(std::string_view path) {
    while (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.empty())
        throw Foundation::PlainError("The mail log path “" + std::string(path) + "” names no file.");
    return std::string(name);
}

const std::vector<std::string>& logs_to_check() {
    static const std::vector<std::string> logs = [] {
        std::vector<std::string> out = SYSTEM_LOGS;
        out.push_back(maillog_name(Config::OS::maillog_path()));
        return out;
    }();
    return logs;
}

std::string program_line_pattern(const std::vector<std::string>& programs) {
    std::string alt;
    for (const auto& p : programs) {
        if (!alt.empty())
            alt += '|';
        alt += Foundation::Regex::escape(p);
    }
    // A syslog tag ("host cron[42]: ..."), a path to the program
    // ("/usr/sbin/cron -f"), or systemd speaking of its unit ("cron.service: ...").
    return fmt::format(R"((?:^|\s)(?:{0})(?:\[\d+\])?:|/(?:{0})(?=[\s\[:]|$)|(?<![\w.-])(?:{0})\.service\b)",
                       alt);
}

std::pair<int, std::vector<ReadError>> _read_log(std::string& text, const ReadOptions& o) {
    std::vector<ReadError> errors;
    const std::string file = o.file.empty() ? o.path : o.file;
    auto record = [&](const char* op, std::string error) {
        errors.push_back({op, file, o.path, std::move(error)});
        return std::pair<int, std::vector<ReadError>>(0, errors);
    };
    // Daemons' logs live in directories their accounts own: a FIFO planted
    // at the path must not hold the run (the open does not wait for a
    // writer), and only a regular file is read.
    Foundation::Fd::UniqueFd fd(::open(o.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd)
        return record("open", std::strerror(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return record("seek", std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return record("open", NOT_A_FILE);
    // A log marked at the run's start is read from the mark: its older lines
    // belong to earlier runs. Written to since, or not, it was read.
    const auto run_part = run_part_start(o.path, st);
    const off_t begin = run_part.value_or(0);
    if (run_part && st.st_size <= begin)
        return {1, errors};
    const off_t start = std::max(begin, st.st_size - static_cast<off_t>(o.read_bytes));
    auto bytes = read_range(fd.get(), start, st.st_size);
    if (!bytes)
        return record("read", std::strerror(errno));
    if (bytes->empty())
        return record("read", NO_DATA);

    auto lines = split_lines(*bytes);
    if (start > begin && !lines.empty())
        lines.erase(lines.begin());  // it may start mid-line
    append_wanted(text, std::move(lines), o.max_messages, o.log_regex);
    return {1, errors};
}

bool host_logs_to_journal() {
    for (const auto& dir : JOURNAL_DIRS) {
        struct stat st {};
        if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return true;
    }
    return false;
}

std::pair<int, std::vector<ReadError>> _read_journal(std::string& text,
                                                     const std::vector<std::string>& programs,
                                                     size_t max_messages) {
    std::vector<ReadError> errors;
    std::string program;
    try {
        program = Run::Binaries::path("journalctl").value_or("");
        // The last lines, in the order they were written.
        std::vector<std::string> args = {"--no-pager", "--quiet", "--output=short",
                                         "--lines=" + std::to_string(max_messages)};
        for (const auto& p : programs)
            args.push_back("--identifier=" + p);
        const JournalRead read = read_journal_since_run_start(program, args);
        if (!read.ok) {
            errors.push_back({"read", "journal", program, read.why});
            return {0, errors};
        }
        append_wanted(text, split_lines(read.text), max_messages, nullptr);
        return {1, errors};
    } catch (const std::exception& e) {
        errors.push_back({"read", "journal", program.empty() ? "journalctl" : program, e.what()});
        return {0, errors};
    }
}

Result fetch_log_tail(const std::string& path, size_t lines) {
    std::string text;
    auto [read, errors] = _read_log(text, {.path = path, .max_messages = lines});
    if (!read)
        return {false, explain(fmt::format("The log “{}” could not be read.", path), errors)};
    return {true, text};
}

std::map<std::string, LogEntry> logs_of_service(std::string_view services,
                                                std::string_view program,
                                                std::vector<std::string>& programs) {
    std::map<std::string, LogEntry> logs;
    for (const auto& name : logs_to_check())
        logs[name] = {};
    programs.clear();
    if (matches(services, "ftp")) {
        programs = FTP_PROGRAMS;
    } else if (matches(services, "syslogd") && !program.empty()) {
        programs = {std::string(program)};
    } else if (matches(services, "exim")) {
        logs = {{EXIM_MAINLOG, {.max_messages = 64, .read_bytes = 8192, .own = true}}};
    } else if (matches(services, "hub_php_fpm")) {
        logs = {{PHP_FPM_ERROR_LOG, {.max_messages = 64, .read_bytes = 8192, .own = true}}};
    } else if (matches(services, "httpd")) {
        programs = HTTPD_PROGRAMS;
        // The web server's and the database's error logs name the cause of
        // a failed start (a certificate that does not load, an unknown
        // option) in lines that never name the program.
        logs[Server::Apache().file_error_log()] = {.max_messages = 4096,
                                                        .read_bytes = 32768,
                                                        .own = true};
    } else if (matches(services, "mysql")) {
        programs = MYSQL_PROGRAMS;
        logs[Server::Database::Logs::get_mysql_error_log_file()] = {.max_messages = 128,
                                                              .read_bytes = 8192,
                                                              .own = true};
    } else {
        logs.clear();
    }
    return logs;
}

Result fetch_service_log_messages(std::string_view services, std::string_view program) {
    std::map<std::string, LogEntry> logs;
    std::vector<std::string> programs;
    try {
        logs = logs_of_service(services, program, programs);
    } catch (const std::exception& e) {
        return {false, fmt::format("The logs of “{}” could not be located: {}", services, e.what())};
    }
    for (const auto& p : programs)
        if (!Tavrel::Foundation::Validate::Service::is_valid(p))
            return {false, fmt::format("“{}” is not a valid program name.", p)};
    // Without programs to look for, only a log wholly the service's is read.
    if (programs.empty())
        std::erase_if(logs, [](const auto& log) { return !log.second.own; });
    if (logs.empty())
        return {true, ""};

    std::optional<Foundation::Regex> filter;
    if (!programs.empty())
        filter.emplace(program_line_pattern(programs));
    const auto& system_logs = logs_to_check();
    const bool journal = !programs.empty() && host_logs_to_journal();

    std::string text;
    int read = 0;
    size_t missing_system_logs = 0;
    std::vector<ReadError> errors;
    for (const auto& [name, entry] : logs) {
        ReadOptions o{.path = name.starts_with('/') ? name : LOG_DIR + "/" + name,
                      .file = name,
                      .read_bytes = entry.read_bytes,
                      .max_messages = entry.max_messages,
                      .log_regex = filter && !entry.own ? &*filter : nullptr};
        auto [ok, errs] = _read_log(text, o);
        read += ok;
        if (!ok && journal && errs.size() == 1 && errs[0].op == "open" &&
            std::find(system_logs.begin(), system_logs.end(), name) != system_logs.end() &&
            ::access(o.path.c_str(), F_OK) != 0 && errno == ENOENT) {
            ++missing_system_logs;  // the journal holds what it would hold
            continue;
        }
        errors.insert(errors.end(), errs.begin(), errs.end());
    }
    if (missing_system_logs > 0) {
        auto [ok, errs] = _read_journal(text, programs, MAX_LOG_MESSAGES * missing_system_logs);
        read += ok;
        errors.insert(errors.end(), errs.begin(), errs.end());
    }
    if (read == 0)
        return {false,
                explain(fmt::format("No log of “{}” could be read.", services), errors)};
    return {true, text};
}

namespace {

// The messages of journalctl's JSON records, given newest first, as lines
// oldest first.
std::string oldest_first(std::string_view newest_first) {
    std::vector<std::string> messages;
    for (const auto line : split_lines(newest_first)) {
        if (auto message = journal_message(line))
            messages.push_back(std::move(*message));
    }
    std::string text;
    for (auto it = messages.rbegin(); it != messages.rend(); ++it)
        text += *it + "\n";
    return text;
}

}  // namespace

Result _unit_journal_since_run_start(const std::string& unit) {
    std::string program;
    try {
        program = Run::Binaries::path("journalctl").value_or("");
        // With --since, --lines counts from the first line of the run: a unit
        // that printed much and then its error would show only the start.
        // --reverse makes journalctl count from the newest line back. Each
        // entry is a JSON record, so an entry of several lines is turned
        // back whole, and --all keeps long entries and those with control
        // characters in them (given as a list of bytes).
        const JournalRead read = read_journal_since_run_start(
            program, {"--no-pager", "--quiet", "--output=json", "--output-fields=MESSAGE", "--all",
                      "--reverse", "--unit=" + unit, "--lines=" + std::to_string(STARTUP_LOG_MAX_LINES)});
        if (!read.ok)
            return {false, fmt::format("Could not read the journal of “{}”: {}", unit, read.why)};
        std::string text = oldest_first(read.text);
        keep_last_lines(text, STARTUP_LOG_MAX_LINES, STARTUP_LOG_MAX_BYTES, false);
        return {true, text};
    } catch (const std::exception& e) {
        return {false, fmt::format("Could not run {} for “{}”: {}",
                                   program.empty() ? "journalctl" : program, unit, e.what())};
    }
}

namespace {

// The last lines of the bytes [begin, size) of the open log `fd`; nothing to
// show when that part is empty. `left_out_note` says where the rest is.
Result last_part(std::string_view service, int fd, off_t begin, off_t size,
                 const std::string& left_out_note) {
    if (size <= begin)
        return {false, fmt::format("This run wrote nothing to the startup log of “{}”.", service)};
    const off_t start = std::max(begin, size - static_cast<off_t>(STARTUP_LOG_MAX_BYTES));
    auto text = read_range(fd, start, size);
    if (!text)
        return {false, fmt::format("Could not read the startup log of “{}”: {}", service,
                                   std::strerror(errno))};
    if (keep_last_lines(*text, STARTUP_LOG_MAX_LINES, STARTUP_LOG_MAX_BYTES, start > begin))
        *text = left_out_note + *text;
    return {true, std::move(*text)};
}

// What the service printed in this run when its startup log could not be
// written, under a line that says so: the reason of a failed start must not
// be lost with the log, and the administrator learns that the log is not kept.
Result read_stand_in(std::string_view service, const std::string& path, const StandIn& kept) {
    std::string text = fmt::format(
        "[the startup log {} could not be written ({}); shown is what the service printed in "
        "this run]\n",
        path, kept.why);
    struct stat st {};
    if (::fstat(kept.fd.get(), &st) != 0)
        return {true, text};
    auto part = last_part(service, kept.fd.get(), 0, st.st_size, "[earlier lines left out]\n");
    if (part.first)
        text += part.second;
    return {true, text};
}

}  // namespace

// This run's part of the startup log at `path`, at most its last lines.
Result read_startup_log_part(std::string_view service, const std::string& path) {
    if (const auto it = stand_ins().find(path); it != stand_ins().end())
        return read_stand_in(service, path, it->second);
    Foundation::Fd::UniqueFd fd(
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT)
            return {false, fmt::format("No startup log of “{}” was recorded.", service)};
        return {false,
                fmt::format("Could not open the startup log “{}”: {}", path, std::strerror(errno))};
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {false, fmt::format("The startup log “{}” is not a regular file.", path)};
    const auto begin = run_part_start(path, st);
    if (!begin)
        return {false, fmt::format("This run wrote nothing to the startup log of “{}”.", service)};
    return last_part(service, fd.get(), *begin, st.st_size,
                     fmt::format("[earlier lines left out; the whole log is {}]\n", path));
}

void _decruft_log_for_service(std::string_view service, std::string& text) {
    if (service != "httpd" || text.size() <= LOG_READ_BYTES)
        return;
    static const Foundation::Regex warning1(R"(\n[ \t]*Warning:[^\n]+)");
    static const Foundation::Regex warning2(R"(\n\S+[ \t]*Warning:[^\n]+)");
    static const Foundation::Regex warn3(R"(\n\[[^\]]+\] \[warn\] [^\n]+)");
    static const Foundation::Regex leading(R"(^\n)");
    std::string t = "\n" + text;
    t = warning1.replace(t, "", true);
    t = warning2.replace(t, "", true);
    t = warn3.replace(t, "", true);
    text = leading.replace(t, "");
}

Result fetch_service_startup_log(std::string_view service,
                                 const std::optional<UnitProperties>& service_via_systemd) {
    if (!Tavrel::Foundation::Validate::Service::is_valid(service))
        return {false, fmt::format("“{}” is not a valid service name.", service)};

    std::string text;
    std::optional<UnitProperties> unit = service_via_systemd;
    if (Config::OS::is_systemd() && !unit)
        unit = Systemd::Systemctl::has_service_via_systemd(service);
    if (Config::OS::is_systemd() && unit) {
        std::string name(service);
        if (auto it = unit->find("Id"); it != unit->end() && !it->second.empty())
            name = it->second;
        auto journal = _unit_journal_since_run_start(name);
        if (!journal.first)
            return journal;
        text = std::move(journal.second);
    } else {
        auto part = read_startup_log_part(service, SysV::StartupLog::startup_log_path(service));
        if (!part.first)
            return part;
        text = std::move(part.second);
    }
    _decruft_log_for_service(service, text);
    return {true, text};
}

}  // namespace Tavrel::Init::Log
