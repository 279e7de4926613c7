#include "Tavrel/Services/Log.h"

#include "Tavrel/Binaries.h"
#include "Tavrel/ConfigFiles/Apache.h"
#include "Tavrel/FHUtils/UniqueFd.h"
#include "Tavrel/MysqlUtils/Logs.h"
#include "Tavrel/OS.h"
#include "Tavrel/PlainError.h"
#include "Tavrel/Regex.h"
#include "Tavrel/SafeRun/Object.h"
#include "Tavrel/Validate/Service.h"
#include "Tavrel/ZidavovEva/StartupLog.h"
#include "Tavrel/ZidavovEva/Systemd.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

namespace Tavrel::Services::Log {

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

// Newest first: the last `max` lines, reversed, those the filter accepts.
void append_wanted(std::string& text, std::vector<std::string_view> lines, size_t max,
                   const Regex* filter, bool already_newest_first = false) {
    if (already_newest_first) {
        if (lines.size() > max)
            lines.resize(max);
    } else {
        if (lines.size() > max)
            lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(max));
        std::reverse(lines.begin(), lines.end());
    }
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

}  // namespace

std::string maillog_name(std::string_view path) {
    while (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.empty())
        throw PlainError("The mail log path “" + std::string(path) + "” names no file.");
    return std::string(name);
}

const std::vector<std::string>& logs_to_check() {
    static const std::vector<std::string> logs = [] {
        std::vector<std::string> out = SYSTEM_LOGS;
        out.push_back(maillog_name(OS::maillog_path()));
        return out;
    }();
    return logs;
}

std::string program_line_pattern(const std::vector<std::string>& programs) {
    std::string alt;
    for (const auto& p : programs) {
        if (!alt.empty())
            alt += '|';
        alt += Regex::escape(p);
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
    FHUtils::UniqueFd fd(::open(o.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd)
        return record("open", std::strerror(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return record("seek", std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return record("open", NOT_A_FILE);
    const off_t start = st.st_size - static_cast<off_t>(o.read_bytes);
    if (start > 0 && ::lseek(fd.get(), start, SEEK_SET) < 0)
        return record("seek", std::strerror(errno));

    std::string bytes(o.read_bytes, '\0');
    size_t got = 0;
    while (got < o.read_bytes) {
        ssize_t n = ::read(fd.get(), bytes.data() + got, o.read_bytes - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return record("read", std::strerror(errno));
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got == 0)
        return record("read", NO_DATA);
    bytes.resize(got);

    auto lines = split_lines(bytes);
    if (got == o.read_bytes && start > 0 && !lines.empty())
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
        program = Binaries::path("journalctl").value_or("");
        std::vector<std::string> args = {"--no-pager", "--quiet", "--output=short", "--reverse",
                                         "--lines=" + std::to_string(max_messages)};
        for (const auto& p : programs)
            args.push_back("--identifier=" + p);
        SafeRun::Object run({.program = program, .args = args, .timeout = JOURNAL_TIMEOUT});
        if (run.CHILD_ERROR() != 0) {
            std::string why = run.stderr_text();
            while (!why.empty() && why.back() == '\n')
                why.pop_back();
            if (why.empty())
                why = run.terse_autopsy();
            errors.push_back({"read", "journal", program, why});
            return {0, errors};
        }
        append_wanted(text, split_lines(run.stdout_text()), max_messages, nullptr, true);
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

Result fetch_service_log_messages(std::string_view services, std::string_view program) {
    std::map<std::string, LogEntry> logs;
    for (const auto& name : logs_to_check())
        logs[name] = {};
    std::vector<std::string> programs;
    // The mail server's and PHP-FPM's own logs are wholly theirs: every line
    // of them is kept (they never name the program in a line).
    bool own_log_only = false;
    try {
        if (matches(services, "ftp")) {
            programs = FTP_PROGRAMS;
        } else if (matches(services, "syslogd") && !program.empty()) {
            programs = {std::string(program)};
        } else if (matches(services, "exim")) {
            logs = {{EXIM_MAINLOG, {.max_messages = 64, .read_bytes = 8192}}};
            own_log_only = true;
        } else if (matches(services, "hub_php_fpm")) {
            logs = {{PHP_FPM_ERROR_LOG, {.max_messages = 64, .read_bytes = 8192}}};
            own_log_only = true;
        } else if (matches(services, "httpd")) {
            programs = HTTPD_PROGRAMS;
            logs[ConfigFiles::Apache().file_error_log()] = {.max_messages = 4096,
                                                            .read_bytes = 32768};
        } else if (matches(services, "mysql")) {
            programs = MYSQL_PROGRAMS;
            logs[MysqlUtils::Logs::get_mysql_error_log_file()] = {.max_messages = 128,
                                                                  .read_bytes = 8192};
        }
    } catch (const std::exception& e) {
        return {false, fmt::format("The logs of “{}” could not be located: {}", services, e.what())};
    }
    for (const auto& p : programs)
        if (!Validate::Service::is_valid(p))
            return {false, fmt::format("“{}” is not a valid program name.", p)};
    if (programs.empty() && !own_log_only)
        return {true, ""};

    std::optional<Regex> filter;
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
                      .log_regex = filter ? &*filter : nullptr};
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

std::optional<std::string> _systemctl_status(std::string_view unit, std::string* error) {
    try {
        SafeRun::Object run({.program = ZidavovEva::Systemd::SYSTEMCTL,
                             .args = {"status", "--no-pager", "--full", std::string(unit)},
                             .timeout = JOURNAL_TIMEOUT});
        if (run.exec_failed()) {
            if (error)
                *error = run.stderr_text();
            return std::nullopt;
        }
        return run.stdout_text();
    } catch (const std::exception& e) {
        if (error)
            *error = e.what();
        return std::nullopt;
    }
}

void _decruft_log_for_service(std::string_view service, std::string& text) {
    if (service != "httpd" || text.size() <= LOG_READ_BYTES)
        return;
    static const Regex warning1(R"(\n[ \t]*Warning:[^\n]+)");
    static const Regex warning2(R"(\n\S+[ \t]*Warning:[^\n]+)");
    static const Regex warn3(R"(\n\[[^\]]+\] \[warn\] [^\n]+)");
    static const Regex leading(R"(^\n)");
    std::string t = "\n" + text;
    t = warning1.replace(t, "", true);
    t = warning2.replace(t, "", true);
    t = warn3.replace(t, "", true);
    text = leading.replace(t, "");
}

Result fetch_service_startup_log(std::string_view service,
                                 const std::optional<UnitProperties>& service_via_systemd) {
    if (!Validate::Service::is_valid(service))
        return {false, fmt::format("“{}” is not a valid service name.", service)};

    std::string text;
    std::optional<UnitProperties> unit = service_via_systemd;
    if (OS::is_systemd() && !unit)
        unit = ZidavovEva::Systemd::has_service_via_systemd(service);
    if (OS::is_systemd() && unit) {
        std::string name(service);
        if (auto it = unit->find("Id"); it != unit->end() && !it->second.empty())
            name = it->second;
        std::string error;
        auto status = _systemctl_status(name, &error);
        if (!status)
            return {false, fmt::format("Could not run systemctl for “{}”: {}", name, error)};
        // The journal excerpt follows the status header's first blank line.
        static const Regex blank(R"(^\s*$)");
        size_t pos = 0;
        bool found = false;
        while (pos < status->size()) {
            size_t nl = status->find('\n', pos);
            size_t end = nl == std::string::npos ? status->size() : nl;
            bool is_blank = blank.test(std::string_view(*status).substr(pos, end - pos));
            pos = nl == std::string::npos ? status->size() : nl + 1;
            if (is_blank) {
                found = true;
                break;
            }
        }
        text = found ? status->substr(pos) : std::string();
    } else {
        const std::string path = ZidavovEva::StartupLog::startup_log_path(service);
        FHUtils::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
        if (!fd) {
            if (errno == ENOENT)
                return {false, fmt::format("No startup log of “{}” was recorded.", service)};
            return {false, fmt::format("Could not open the startup log “{}”: {}", path,
                                       std::strerror(errno))};
        }
        char buf[65536];
        for (;;) {
            ssize_t n = ::read(fd.get(), buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return {false, fmt::format("Could not read the startup log of “{}”: {}", service,
                                           std::strerror(errno))};
            if (n == 0)
                break;
            text.append(buf, static_cast<size_t>(n));
        }
        if (text.empty())
            return {false, fmt::format("No startup log of “{}” was recorded.", service)};
    }
    _decruft_log_for_service(service, text);
    return {true, text};
}

}  // namespace Tavrel::Services::Log
