#include "Tavrel/Process/PsParser.h"
#include "Tavrel/Foundation/Text/Digits.h"

#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Process/Proc/Basename.h"
#include "Tavrel/Process/Proc/Bin.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Process/PsParser/Parse.h"
#include "Tavrel/Process/PsParser/PsCommand.h"
#include "Tavrel/Process/PsParser/SysInfo.h"
#include "Tavrel/Config/PwCache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace Tavrel::Process::PsParser {

namespace {

// A pid from a directory entry name made only of digits, or 0.
pid_t pid_of_entry(const char* name) {
    if (!*name)
        return 0;
    long v = 0;
    for (const char* p = name; *p; ++p) {
        if (*p < '0' || *p > '9')
            return 0;
        v = v * 10 + (*p - '0');
        if (v > 0x3fffffff)
            return 0;
    }
    return static_cast<pid_t>(v);
}

class ProcDir {
  public:
    ProcDir() {
        Foundation::Fd::UniqueFd fd(::open(Foundation::ProcFs::PROC_PATH.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd)
            return;
        dir_ = ::fdopendir(fd.get());
        if (dir_)
            (void)fd.release();
    }
    ~ProcDir() {
        if (dir_)
            ::closedir(dir_);
    }
    ProcDir(const ProcDir&) = delete;
    ProcDir& operator=(const ProcDir&) = delete;
    explicit operator bool() const { return dir_ != nullptr; }
    int fd() const { return ::dirfd(dir_); }
    // The next all-digit entry, or 0 at the end.
    pid_t next() {
        while (struct dirent* e = ::readdir(dir_)) {
            if (pid_t pid = pid_of_entry(e->d_name))
                return pid;
        }
        return 0;
    }

  private:
    DIR* dir_ = nullptr;
};

bool probe_readable(const std::string& file) {
    return ::access((Foundation::ProcFs::PROC_PATH + "/" + file).c_str(), R_OK) == 0;
}

std::string user_of(uid_t uid, bool resolve) {
    if (uid == 0)
        return SUPERUSER_NAME;
    if (resolve) {
        if (auto name = Config::PwCache::getpwuid_name(uid))
            return *name;
    }
    return std::to_string(uid);
}

void check_options(const Options& o) {
    if (!o.skip_stat)
        return;
    if (o.exclude_kernel)
        throw Foundation::PlainError("exclude_kernel needs the stat files; it cannot be used with skip_stat");
    if (o.cpu_stats)
        throw Foundation::PlainError("cpu_stats needs the stat files; it cannot be used with skip_stat");
    if (o.elapsed_stats)
        throw Foundation::PlainError("elapsed_stats needs the stat files; it cannot be used with skip_stat");
    if (!o.skip_cmdline)
        throw Foundation::PlainError("skip_stat needs skip_cmdline: the command falls back on the stat file");
}

// Reads one process into `rec`; false when it must be skipped.
bool read_process(int dfd, pid_t pid, const Options& o, const SysInfo* info, Record& rec) {
    char rel[64];
    std::snprintf(rel, sizeof rel, "%d", pid);
    struct stat st {};
    if (::fstatat(dfd, rel, &st, 0) != 0)
        return false;
    if (o.want_uid && st.st_uid != *o.want_uid)
        return false;
    rec.pid = pid;
    rec.uid = st.st_uid;
    rec.user = user_of(st.st_uid, o.resolve_uids);
    std::string command;
    if (!o.skip_cmdline) {
        std::snprintf(rel, sizeof rel, "%d/cmdline", pid);
        if (auto raw = Foundation::ProcFs::at(dfd, rel))
            command = Parse::command_from_cmdline(*raw);
    }
    if (o.skip_stat)
        return true;
    std::snprintf(rel, sizeof rel, "%d/stat", pid);
    auto parsed = Parse::stat(Foundation::ProcFs::at(dfd, rel).value_or(std::string()));
    if (!parsed)
        return false;
    if (o.exclude_kernel && parsed->is_kernel_thread())
        return false;
    if (command.empty())
        command = KERNEL_NAME_OPEN + parsed->name + KERNEL_NAME_CLOSE;
    rec.nice = parsed->nice();
    rec.state = std::string(1, parsed->state());
    rec.ppid = parsed->ppid();
    rec.command = std::move(command);
    if (info && o.memory_stats) {
        std::snprintf(rel, sizeof rel, "%d/statm", pid);
        if (auto statm = Foundation::ProcFs::at(dfd, rel)) {
            if (auto rss = Parse::statm_resident(*statm))
                rec.mem = info->calculate_percent_memory_from_rsspages(*rss);
        }
    }
    if (info && o.cpu_stats)
        rec.cpu = info->calculate_percent_cpu_from_ticks(parsed->starttime(), parsed->cpu_ticks());
    if (info && o.elapsed_stats)
        rec.elapsed = info->calculate_elapsed_from_ticks(parsed->starttime());
    return true;
}

const Foundation::Regex& interpreter_regex() {
    static const Foundation::Regex re("^" + get_known_interpreters_regex().pattern() + "(?:[0-9][0-9.]*)?$");
    return re;
}

std::string name_wrapper(const std::string& alternatives) {
    return "^(?:" + alternatives + ")$";
}

bool is_word_space(char c) {
    return c == '\0' || std::isspace(static_cast<unsigned char>(c));
}

// The words of a command line (split on whitespace and NUL), each through getbasename.
std::vector<std::string> basename_words(std::string_view raw) {
    std::vector<std::string> words;
    size_t p = 0;
    while (p < raw.size()) {
        while (p < raw.size() && is_word_space(raw[p]))
            ++p;
        size_t q = p;
        while (q < raw.size() && !is_word_space(raw[q]))
            ++q;
        if (q > p)
            words.push_back(Proc::Basename::getbasename(raw.substr(p, q - p)));
        p = q;
    }
    return words;
}

std::string last_component(std::string_view path) {
    size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace

std::string Deadcmd::display(std::string_view separator) const {
    if (pattern_)
        return pattern_->pattern();
    std::string out;
    for (size_t i = 0; i < names_.size(); ++i) {
        if (i)
            out += separator;
        out += names_[i];
    }
    return out;
}

const Foundation::Regex& get_known_interpreters_regex() {
    static const Foundation::Regex re = [] {
        std::string alt;
        for (const auto& name : KNOWN_INTERPRETERS) {
            if (!alt.empty())
                alt += "|";
            alt += Foundation::Regex::escape(name);
        }
        return Foundation::Regex("(?:" + alt + ")");
    }();
    return re;
}

std::vector<Record> fast_parse_ps(const Options& o) {
    if (!READ_PROC || !probe_readable(LIST_PROBE_FILE))
        return parse_ps(o);
    check_options(o);
    std::optional<SysInfo> info;
    if (o.cpu_stats || o.memory_stats || o.elapsed_stats)
        info.emplace();
    ProcDir dir;
    if (!dir)
        return parse_ps(o);
    pid_t self = ::getpid();
    std::vector<Record> out;
    if (o.want_pid) {
        // One process: read it straight away instead of listing the table.
        pid_t pid = *o.want_pid;
        Record rec;
        bool skipped = pid <= 0 || (o.exclude_self && pid == self);
        if (!skipped && read_process(dir.fd(), pid, o, info ? &*info : nullptr, rec))
            out.push_back(std::move(rec));
        return out;
    }
    while (pid_t pid = dir.next()) {
        if (o.exclude_self && pid == self)
            continue;
        if (o.want_pid && pid != *o.want_pid)
            continue;
        Record rec;
        if (read_process(dir.fd(), pid, o, info ? &*info : nullptr, rec))
            out.push_back(std::move(rec));
    }
    return out;
}

std::vector<Record> parse_ps(const Options& o) {
    check_options(o);
    return PsCommand::list(o);
}

std::optional<Record> get_pid_info(pid_t pid) {
    if (pid <= 0)
        return std::nullopt;
    Options o;
    o.want_pid = pid;
    o.memory_stats = o.cpu_stats = o.elapsed_stats = true;
    auto table = fast_parse_ps(o);
    if (table.empty())
        return std::nullopt;
    return table.front();
}

std::vector<pid_t> get_child_pids(const std::vector<pid_t>& pids) {
    Options o;
    o.skip_cmdline = true;
    auto table = fast_parse_ps(o);
    std::unordered_map<pid_t, std::vector<pid_t>> children;
    for (const auto& rec : table)
        if (rec.ppid)
            children[*rec.ppid].push_back(rec.pid);
    std::vector<pid_t> out;
    std::unordered_set<pid_t> seen;
    // Breadth by generation within each given pid: its direct children, then
    // each child's subtree in turn.
    auto add_tree = [&](auto&& self_ref, pid_t parent) -> void {
        auto it = children.find(parent);
        if (it == children.end())
            return;
        std::vector<pid_t> fresh;
        for (pid_t c : it->second)
            if (seen.insert(c).second) {
                out.push_back(c);
                fresh.push_back(c);
            }
        for (pid_t c : fresh)
            self_ref(self_ref, c);
    };
    for (pid_t p : pids)
        add_tree(add_tree, p);
    return out;
}

std::optional<NameMatcher> NameMatcher::create(const Deadcmd& deadcmd,
                                               const std::vector<std::string>& allowed_owners,
                                               Purpose purpose) {
    if (!deadcmd.defined())
        return std::nullopt;
    NameMatcher m;
    if (deadcmd.is_pattern()) {
        m.pattern_ = deadcmd.pattern();
    } else {
        std::string alt;
        for (const auto& name : deadcmd.names()) {
            if (!alt.empty())
                alt += "|";
            alt += Foundation::Regex::escape(name);
        }
        m.pattern_ = std::make_shared<const Foundation::Regex>(name_wrapper(alt));
        m.plain_names_ = deadcmd.names();
    }
    if (m.pattern_->test(""))
        return std::nullopt;
    if (::geteuid() != 0 && purpose == Purpose::Act) {
        m.owners_ = std::vector<uid_t>{::geteuid()};
    } else if (!allowed_owners.empty()) {
        m.owners_.emplace();
        for (const auto& owner : allowed_owners) {
            if (Foundation::Text::all_digits(owner)) {
                // An id beyond the id type names no account.
                if (auto uid = Foundation::Text::digits_value(owner, UINT32_MAX))
                    m.owners_->push_back(static_cast<uid_t>(*uid));
            } else if (auto uid = Config::PwCache::getpwnam_uid(owner)) {
                m.owners_->push_back(*uid);
            }
        }
    }
    return m;
}

bool NameMatcher::owner_allowed(uid_t uid) const {
    return !owners_ || std::find(owners_->begin(), owners_->end(), uid) != owners_->end();
}

bool NameMatcher::matches_words(std::string_view name, const std::vector<std::string>& secondary,
                                std::string_view file_name) const {
    if (!name.empty() && (name.front() == '-' || name.back() == ':')) {
        if (name.front() == '-')
            name.remove_prefix(1);
        if (!name.empty() && name.back() == ':')
            name.remove_suffix(1);
    }
    bool interpreted = interpreter_regex().test(name);
    auto first = secondary.begin();
    if (interpreted)
        while (first != secondary.end() && !first->empty() && first->front() == OPTION_MARKER)
            ++first;
    if (!file_name.empty() &&
        std::find(plain_names_.begin(), plain_names_.end(), file_name) != plain_names_.end())
        return true;
    if (pattern_->test(name))
        return true;
    return interpreted && first != secondary.end() && pattern_->test(*first);
}

namespace {

// What a name search reads of one process.
struct NamedProcess {
    pid_t pid = 0;
    uid_t uid = 0;
    std::string name;                    // the command line's first word, as a base name
    std::vector<std::string> secondary;  // its other words
    std::string file_name;               // the executable's name; "" when hidden
};

// Nothing when the process is gone or has no command line (a kernel thread).
std::optional<NamedProcess> read_named(int dfd, pid_t pid) {
    // Any pid may be the service's (a daemon started by a container's init
    // has a small one); a kernel thread has no executable and drops out here.
    // To a caller without root, another account's process hides its
    // executable: it is known by its command line alone (a kernel thread,
    // hidden alike, has none and drops out below).
    char rel[64];
    std::snprintf(rel, sizeof rel, "%d/exe", pid);
    char exe[4096];
    ssize_t n = ::readlinkat(dfd, rel, exe, sizeof exe);
    if (n < 0 && errno != EACCES)
        return std::nullopt;
    n = std::max<ssize_t>(n, 0);
    std::snprintf(rel, sizeof rel, "%d", pid);
    struct stat st {};
    if (::fstatat(dfd, rel, &st, 0) != 0)
        return std::nullopt;
    std::snprintf(rel, sizeof rel, "%d/cmdline", pid);
    auto words = basename_words(Foundation::ProcFs::at(dfd, rel).value_or(std::string()));
    if (words.empty() || words.front().empty())
        return std::nullopt;
    NamedProcess process{pid, st.st_uid, std::move(words.front()), {},
                         last_component(std::string_view(exe, static_cast<size_t>(n)))};
    words.erase(words.begin());
    process.secondary = std::move(words);
    return process;
}

// The table the living Census read; nothing when there is none.
std::optional<std::vector<NamedProcess>> census_table;

}  // namespace

bool NameMatcher::matches(int dfd, pid_t pid) const {
    const auto process = read_named(dfd, pid);
    return process && owner_allowed(process->uid) &&
           matches_words(process->name, process->secondary, process->file_name);
}

Census::Census() {
    census_table.reset();
    if (!READ_PROC || !probe_readable(NAME_SEARCH_PROBE_FILE))
        return;
    ProcDir dir;
    if (!dir)
        return;
    std::vector<NamedProcess> table;
    while (pid_t pid = dir.next())
        if (auto process = read_named(dir.fd(), pid))
            table.push_back(std::move(*process));
    census_table = std::move(table);
}

Census::~Census() { census_table.reset(); }

std::vector<pid_t> get_pids_by_name(const Deadcmd& deadcmd,
                                    const std::vector<std::string>& allowed_owners,
                                    Purpose purpose) {
    auto matcher = NameMatcher::create(deadcmd, allowed_owners, purpose);
    if (!matcher)
        return {};
    std::vector<pid_t> out;
    if (purpose == Purpose::Look && census_table) {
        for (const auto& process : *census_table)
            if (matcher->owner_allowed(process.uid) &&
                matcher->matches_words(process.name, process.secondary, process.file_name))
                out.push_back(process.pid);
        return out;
    }
    if (READ_PROC && probe_readable(NAME_SEARCH_PROBE_FILE)) {
        ProcDir dir;
        if (dir) {
            while (pid_t pid = dir.next())
                if (matcher->matches(dir.fd(), pid))
                    out.push_back(pid);
            return out;
        }
    }
    Options o;
    o.exclude_kernel = true;
    for (const auto& rec : fast_parse_ps(o)) {
        if (!matcher->owner_allowed(rec.uid))
            continue;
        auto words = basename_words(rec.command.value_or(std::string()));
        if (words.empty() || words.front().empty())
            continue;
        std::string name = std::move(words.front());
        words.erase(words.begin());
        if (matcher->matches_words(name, std::move(words),
                                   last_component(Proc::Bin::getbin(rec.pid))))
            out.push_back(rec.pid);
    }
    return out;
}

}  // namespace Tavrel::Process::PsParser
