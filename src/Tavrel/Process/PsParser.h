// Tavrel::Process::PsParser: the process table, read straight from procfs.
//
//   auto table = Tavrel::Process::PsParser::fast_parse_ps({.exclude_kernel = true});
//   for (const auto& rec : table) use(rec.pid, rec.uid, *rec.command);
//
//   auto pids = Tavrel::Process::PsParser::get_pids_by_name("exim", {"mailnull"});
//
// A process that ends while it is being read is skipped quietly. When procfs
// cannot be read, the same calls go to the system `ps` (parse_ps).
#pragma once

#include "Tavrel/Foundation/Regex.h"

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Process::PsParser {

inline bool READ_PROC = true;
// Programs whose first script argument stands for the process's name (with
// any version suffix, such as perl5.36).
inline std::vector<std::string> KNOWN_INTERPRETERS = {"perl"};
// Files under Tavrel::Foundation::ProcFs::PROC_PATH whose readability shows procfs is
// usable: one for the listing, one for the name search.
inline std::string LIST_PROBE_FILE = "stat";
inline std::string NAME_SEARCH_PROBE_FILE = "loadavg";
// The account name shown for uid 0 (no lookup).
inline std::string SUPERUSER_NAME = "root";
// Marks around the kernel's name of a process that has no command line.
inline constexpr char KERNEL_NAME_OPEN = '[';
inline constexpr char KERNEL_NAME_CLOSE = ']';
// Words of an interpreter's command line that begin with this are options.
inline constexpr char OPTION_MARKER = '-';

// One process. The fields after `uid` are absent with skip_stat; the
// statistics only when asked for.
struct Record {
    pid_t pid = 0;
    std::string user;  // "root" for uid 0, else the account name or the uid
    uid_t uid = 0;
    std::optional<int> nice;
    std::optional<std::string> state;  // one letter
    std::optional<pid_t> ppid;
    std::optional<std::string> command;
    std::optional<double> mem;      // percent of memory resident
    std::optional<double> cpu;      // percent of one CPU over the process's life
    std::optional<double> elapsed;  // seconds since the process started
};

struct Options {
    bool resolve_uids = false;
    bool memory_stats = false;
    bool cpu_stats = false;
    bool elapsed_stats = false;
    bool exclude_self = false;
    // Leaves out the kernel's own threads (whatever their pid: in a container
    // a daemon started by its init has a small pid too).
    bool exclude_kernel = false;
    std::optional<pid_t> want_pid;
    std::optional<uid_t> want_uid;
    bool skip_cmdline = false;
    bool skip_stat = false;
};

// The table in directory order. Refuses (Tavrel::Foundation::PlainError) skip_stat with
// exclude_kernel, cpu_stats or elapsed_stats, or without skip_cmdline.
std::vector<Record> fast_parse_ps(const Options& options = {});
// The same table from the system `ps`.
std::vector<Record> parse_ps(const Options& options = {});
// The record of one pid, with all statistics; nothing when it does not exist.
std::optional<Record> get_pid_info(pid_t pid);
// Every descendant of the given pids, each once: direct children first, then
// their subtrees.
std::vector<pid_t> get_child_pids(const std::vector<pid_t>& pids);

// What a name search looks for: a compiled pattern, a list of program names
// or one program name. A default-made value names nothing.
class Deadcmd {
  public:
    Deadcmd() = default;
    Deadcmd(const char* name) : names_{name}, single_(true) {}                       // NOLINT
    Deadcmd(std::string name) : names_{std::move(name)}, single_(true) {}            // NOLINT
    Deadcmd(std::vector<std::string> names) : names_(std::move(names)) {}            // NOLINT
    Deadcmd(std::shared_ptr<const Foundation::Regex> pattern) : pattern_(std::move(pattern)) {}  // NOLINT

    bool defined() const { return pattern_ || single_ || !names_.empty(); }
    bool is_pattern() const { return pattern_ != nullptr; }
    bool is_list() const { return !pattern_ && !single_; }
    const std::vector<std::string>& names() const { return names_; }
    const std::shared_ptr<const Foundation::Regex>& pattern() const { return pattern_; }
    // The names joined by `separator`, or the pattern's text.
    std::string display(std::string_view separator) const;

  private:
    std::vector<std::string> names_;
    std::shared_ptr<const Foundation::Regex> pattern_;
    bool single_ = false;
};

// What a name search is for. A caller without root can act only on its own
// processes, and a search to act is limited to them; a search to look (a
// status check) sees every account's, or a daemon of root's would look
// stopped to anyone else.
enum class Purpose { Act, Look };

// Decides whether one pid runs the named program, with the owner rule.
class NameMatcher {
  public:
    // Nothing when the name is undefined or its pattern matches the empty
    // text (it would match every process). Owners are uids or account names;
    // an unprivileged caller's search to act is always limited to its own
    // uid.
    static std::optional<NameMatcher> create(const Deadcmd& deadcmd,
                                             const std::vector<std::string>& allowed_owners = {},
                                             Purpose purpose = Purpose::Act);
    // Reads the pid's files under the directory `proc_dirfd` (opened on
    // Tavrel::Foundation::ProcFs::PROC_PATH).
    bool matches(int proc_dirfd, pid_t pid) const;
    // The match rule over already read texts (exposed for tests).
    bool matches_words(std::string_view process_name, const std::vector<std::string>& secondary,
                       std::string_view file_name) const;
    bool owner_allowed(uid_t uid) const;

  private:
    std::shared_ptr<const Foundation::Regex> pattern_;
    std::vector<std::string> plain_names_;
    std::optional<std::vector<uid_t>> owners_;
};

// While a Census lives, a search by name made to look (Purpose::Look)
// answers from one reading of the process table, made when the Census was: a
// listing asks after hundreds of names at one moment, and reading every
// process's files once per name was most of its time. A search to act always
// reads afresh. When procfs cannot be read the Census holds nothing and each
// search goes its usual way.
//
//   { const PsParser::Census census; ...looks... }
class Census {
  public:
    Census();
    ~Census();
    Census(const Census&) = delete;
    Census& operator=(const Census&) = delete;
};

std::vector<pid_t> get_pids_by_name(const Deadcmd& deadcmd,
                                    const std::vector<std::string>& allowed_owners = {},
                                    Purpose purpose = Purpose::Act);
// The interpreter names as one pattern (alternatives inside a group).
const Foundation::Regex& get_known_interpreters_regex();

}  // namespace Tavrel::Process::PsParser
