// Tavrel::Cli::History: one JSON line for every run by root that acts on a
// service (start, stop, restart, reload, a custom action), also a failed or
// refused one, so "who restarted the database at 3 a.m., and did it work?"
// has an answer.
//
//   {"time":"2026-12-11T03:00:02+01:00","duration_ms":812,"service":"mysql",
//    "action":"restart","args":["--restart"],"succeeded":true,"done":true,
//    "status":0,"failure_class":null,"error_id":null,"message":null,
//    "pids_before":[4711],"pids_after":[4713],"running":true,"uid":0,
//    "login_uid":1000,"login_user":"alice","ssh_client":"192.0.2.7",
//    "parent_pid":4700,"parent":"sudo zidavoveva_mysql --restart"}
//
// The outcome is the `result` record's (ResultRecord.h); the pids are those
// the status check names before the run acts and after it. The line is
// written last, as one append to a 0600 file of root's
// (File::AppendLine), so parallel runs never mix their lines. A line that
// cannot be written (a full or read-only disk) is lost with a warning; the
// run and its exit status stay as they were. A run ended by a signal writes
// none.
//
// In the run driver (Tavrel/Cli/Main.cpp):
//
//   History::Run history(command);      // the clock starts, the caller is noted
//   history.look_before(srv);           // just before the run acts
//   ... result.look_at(srv, history.due());
//   history.write(result.facts(), status);
#pragma once

#include "Tavrel/Cli/History/Caller.h"
#include "Tavrel/Cli/Main.h"
#include "Tavrel/Cli/ResultRecord.h"

#include <nlohmann/json.hpp>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace Tavrel::Cli::History {

inline std::string FILE = "/var/log/zidavoveva/history";

// What one line says.
struct Entry {
    std::chrono::system_clock::time_point started{};
    long long duration_ms = 0;
    std::vector<std::string> args{};
    ResultRecord::Facts outcome{};
    std::optional<std::vector<pid_t>> pids_before{};
    Caller::Who who{};
};

// A moment as local time with its offset, to the second: 2026-12-11T03:00:02+01:00.
std::string iso_time(std::chrono::system_clock::time_point when);
// The moment such a text names; nothing for any other text.
std::optional<std::chrono::system_clock::time_point> parse_iso_time(std::string_view text);

nlohmann::ordered_json line_of(const Entry& entry);

// Whether a run of this command line gets a line: one by root whose options
// ask to act on a service (not a question, a listing, the usage, the
// history itself or a dry run).
bool is_recorded(const Main::Command& command, uid_t euid);

class Run {
  public:
    explicit Run(const Main::Command& command);

    bool due() const { return due_; }
    // The pids the status check names now; a look that fails leaves them unknown.
    void look_before(Tavrel::Service::Base& srv) noexcept;
    // Appends the line, when due; a warning on standard error when it cannot.
    void write(const ResultRecord::Facts& outcome, int status) noexcept;

  private:
    bool due_;
    Entry entry_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace Tavrel::Cli::History
