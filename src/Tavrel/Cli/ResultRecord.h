// Tavrel::Cli::ResultRecord: the record that closes every run with
// --json. A program that drives the tool on many hosts (a fleet engine) then
// reads the outcome from one object: the message records before it are for
// people, standard error is not JSON, and the exit status alone says neither
// what failed nor what runs now.
//
//   {"indent":0,"pid":4711,"type":"result","contents":{"service":"crond",
//    "action":"restart","succeeded":true,"done":true,"status":0,"running":true,
//    "pids":[4713],"failure_class":null,"error_id":null,"message":null,
//    "duration_ms":812},"partial":0}
//
// "succeeded" is the exit status 0; "done" says whether the action was
// carried out. A run can succeed with nothing done, and then "message" says
// why: a stop of a service that was not running, a reload of one that does
// not run or cannot reload, an absent service skipped with --skip-if-absent,
// a stop command of a unit systemd is already stopping, a run skipped while a
// base installation runs. A caller tells
// "reloaded" from "nothing to reload" by it.
//
// In the run driver (Tavrel/Cli/Main.cpp):
//
//   ResultRecord::Run result(command);   // the clock starts
//   ... result.failed(e) or result.failed(text) where a failure is caught
//   result.look_at(srv);                 // while the service object lives
//   result.finish(status);               // written only when --json was asked
//
// The record is written by the process that started the run, after every
// other record of it. A run that std::exit ends early (the skip during a base
// installation) still writes it, from an exit handler, without the look at the
// service. A run ended by a signal (TERM, INT, KILL) writes none: no record
// at all means the run was cut short.
#pragma once

#include "Tavrel/Cli/Main.h"

#include <sys/types.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Foundation {
class Exception;
}

namespace Tavrel::Cli::ResultRecord {

// The message type of the record.
inline constexpr std::string_view TYPE = "result";
// The option that asks for records.
inline constexpr std::string_view JSON_OPTION = "json";
// The action of a run that only showed the usage.
inline constexpr std::string_view HELP_ACTION = "help";
// The action of a run that listed the services (--list).
inline constexpr std::string_view LIST_ACTION = "list";
// The action of a run that showed the history (--history).
inline constexpr std::string_view HISTORY_ACTION = "history";
// The action of a dry run (--dry-run), whatever its verb.
inline constexpr std::string_view PLAN_ACTION = "plan";

// What the record says. An unset member is written as null: the run never got
// to know it (no service word on a refused command line, no look at a
// service that was never built).
struct Facts {
    std::optional<std::string> service;
    std::optional<std::string> action;
    int status = 0;
    // Whether the status check finds the service running, and the pids it
    // names (none for a service that counts as running without a process).
    std::optional<bool> running;
    std::optional<std::vector<pid_t>> pids;
    // Of a failed run only: the failure's class and error id as the program
    // shows them, and its text.
    std::optional<std::string> failure_class;
    std::optional<std::string> error_id;
    std::optional<std::string> message;
    // Of a run that succeeded without doing what it was asked: why.
    std::optional<std::string> nothing_done{};
    long long duration_ms = 0;
};

// Pids as a record's member: a list, or null when they were never looked at.
nlohmann::ordered_json pid_list(const std::optional<std::vector<pid_t>>& pids);

// The record's contents. "succeeded" is status 0; a run that succeeded has no
// failure members, whatever was noted on the way; its message is why nothing
// was done, when nothing was.
nlohmann::ordered_json contents(const Facts& facts);

// The pids a status text names, in order: one per status line of the form
// "... with PID <pid> (<method> check)".
std::vector<pid_t> pids_in_status(std::string_view status_text);

// Whether a command line asks for --json, also one the parser refused: a
// unique abbreviation counts, a word after "--" or the value of an option
// that takes one does not.
bool asks_for_json(const std::vector<std::string>& args);

// The service word the run is for: the program's name's, else (generic name)
// the first word that is not an option; nothing when there is none.
std::optional<std::string> service_word(const Main::Command& command);

// The action as the options ask for it: help, list, history, check, status,
// stop, reload or restart; nothing for a command line that was refused.
std::optional<std::string> asked_action(const Main::Command& command);

class Run {
  public:
    explicit Run(const Main::Command& command);
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // The failure that ends the run; a later one replaces an earlier one.
    void failed(const Foundation::Exception& e);
    // A failure known only by its text (a refusal); ignored when an exception
    // was noted, whose text this is.
    void failed(const std::string& message);
    // The run ends well without having done its action, for this reason.
    void nothing_done(const std::string& reason);
    // The action carried out and a fresh look at the service, when the record
    // is wanted or `also_wanted` (the history keeps it). Never throws: a look
    // that fails leaves running and pids unknown.
    void look_at(Tavrel::Service::Base* srv, bool also_wanted = false) noexcept;
    // Writes the record when it is wanted, once.
    void finish(int status);
    // What the service object says it left undone; the only look an exit
    // handler makes.
    void note_nothing_done(const Tavrel::Service::Base& srv);

    const Facts& facts() const { return facts_; }
    bool wanted() const { return wanted_; }

  private:
    Facts facts_;
    bool wanted_;
    bool exception_noted_ = false;
    bool finished_ = false;
    pid_t owner_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace Tavrel::Cli::ResultRecord
