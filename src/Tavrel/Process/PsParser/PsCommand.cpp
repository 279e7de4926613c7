#include "Tavrel/Process/PsParser/PsCommand.h"

#include "Tavrel/Run/Binaries.h"
#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Process/PsParser/SysInfo.h"
#include "Tavrel/Config/PwCache.h"
#include "Tavrel/Run/SafeRun/Object.h"

#include <unistd.h>

#include <cctype>
#include <charconv>
#include <exception>

namespace Tavrel::Process::PsParser::PsCommand {

namespace {

// pid uid ppid pgid ni s rss etimes cputimes, then the command to the end.
constexpr size_t NUMBER_COLUMNS = 9;
// The kernel's thread that starts all the others.
constexpr long long KTHREADD_PID = 2;

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

long long number(std::string_view text) {
    long long v = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    (void)ptr;
    return ec == std::errc() ? v : 0;
}

std::string trim_trailing(std::string_view text) {
    while (!text.empty() && is_space(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

}  // namespace

std::vector<Record> parse_output(std::string_view text, const Options& o) {
    std::optional<SysInfo> info;
    if (o.memory_stats || o.cpu_stats || o.elapsed_stats)
        info.emplace();
    pid_t self = ::getpid();
    std::vector<Record> out;
    size_t line_start = 0;
    while (line_start < text.size()) {
        size_t nl = text.find('\n', line_start);
        std::string_view line = text.substr(
            line_start, nl == std::string_view::npos ? std::string_view::npos : nl - line_start);
        line_start = nl == std::string_view::npos ? text.size() : nl + 1;
        std::vector<std::string_view> cols;
        size_t p = 0;
        while (cols.size() < NUMBER_COLUMNS && p < line.size()) {
            while (p < line.size() && is_space(line[p]))
                ++p;
            size_t q = p;
            while (q < line.size() && !is_space(line[q]))
                ++q;
            if (q > p)
                cols.push_back(line.substr(p, q - p));
            p = q;
        }
        if (cols.size() < NUMBER_COLUMNS)
            continue;
        while (p < line.size() && is_space(line[p]))
            ++p;
        Record rec;
        rec.pid = static_cast<pid_t>(number(cols[0]));
        if (rec.pid <= 0)
            continue;
        rec.uid = static_cast<uid_t>(number(cols[1]));
        if (o.exclude_self && rec.pid == self)
            continue;
        if (o.want_pid && rec.pid != *o.want_pid)
            continue;
        if (o.want_uid && rec.uid != *o.want_uid)
            continue;
        // `ps` cannot show the kernel-thread flag: kernel threads are kthreadd
        // (pid 2) and its children, in no process group.
        if (o.exclude_kernel && number(cols[3]) == 0 &&
            (rec.pid == KTHREADD_PID || number(cols[2]) == KTHREADD_PID))
            continue;
        if (rec.uid == 0) {
            rec.user = SUPERUSER_NAME;
        } else if (auto name = o.resolve_uids ? Config::PwCache::getpwuid_name(rec.uid) : std::nullopt) {
            rec.user = *name;
        } else {
            rec.user = std::to_string(rec.uid);
        }
        if (!o.skip_stat) {
            std::string command = trim_trailing(line.substr(p));
            std::string state(cols[5].substr(0, 1));
            if (o.skip_cmdline) {
                command = KERNEL_NAME_OPEN + command + KERNEL_NAME_CLOSE;
            } else if (state == "Z") {
                // `ps` adds a marker to the bracketed name of a zombie.
                static const std::string defunct = " <defunct>";
                if (command.size() > defunct.size() &&
                    command.compare(command.size() - defunct.size(), defunct.size(), defunct) == 0)
                    command.resize(command.size() - defunct.size());
            }
            rec.nice = static_cast<int>(number(cols[4]));  // "-" (real-time) reads as 0
            rec.state = state;
            rec.ppid = static_cast<pid_t>(number(cols[2]));
            rec.command = std::move(command);
        }
        if (info) {
            double elapsed = static_cast<double>(number(cols[7]));
            if (o.memory_stats) {
                long page = ::sysconf(_SC_PAGESIZE);
                long long pages = number(cols[6]) * 1024 / (page > 0 ? page : 4096);
                rec.mem = info->calculate_percent_memory_from_rsspages(pages);
            }
            if (o.cpu_stats)
                rec.cpu = elapsed > 0 ? static_cast<double>(number(cols[8])) * 100.0 / elapsed : 0;
            if (o.elapsed_stats)
                rec.elapsed = elapsed;
        }
        out.push_back(std::move(rec));
    }
    return out;
}

std::vector<Record> list(const Options& o) {
    auto ps = Run::Binaries::path("ps");
    if (!ps)
        return {};
    std::string columns = "pid=,uid=,ppid=,pgid=,ni=,s=,rss=,etimes=,cputimes=,";
    columns += o.skip_cmdline ? "comm=" : "args=";
    try {
        Run::SafeRun::Options run_options;
        run_options.program = *ps;
        run_options.args = {"-e", "-ww", "-o", columns};
        run_options.timeout = PS_TIMEOUT;
        Run::SafeRun::Object run(std::move(run_options));
        if (run.CHILD_ERROR() != 0) {
            Foundation::Debug::log_warn("The process list from " + *ps + " failed: " + run.stderr_text());
            return {};
        }
        return parse_output(run.stdout_text(), o);
    } catch (const std::exception& e) {
        Foundation::Debug::log_warn(std::string("Could not list processes with ") + *ps + ": " + e.what());
        return {};
    }
}

}  // namespace Tavrel::Process::PsParser::PsCommand
