// Tavrel::Process::Check::Running: whether a pid really is the expected service
// process: still the process first seen, its command line matching the
// pattern, not a command that merely mentions the service, and run by the
// expected user.
//
//   Tavrel::Process::Check::Running check({.pid = "1234", .user = "mail",
//                                        .pattern = std::string("exim")});
//   check.check_all();   // true, or throws a typed exception
//
// Failures (all typed, raised without stack traces): Param::Invalid (pid or
// pattern), Param::Missing (pattern), Proc::Ended, ProcessCheck::CommandMismatch,
// ProcessCheck::IgnoredCommand, ProcessCheck::WrongOwner.
#pragma once

#include "Tavrel/Process/Proc/PID.h"
#include "Tavrel/Foundation/Regex.h"

#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace Tavrel::Process::Check {

class Running {
  public:
    // A plain text is matched literally anywhere in the command line.
    using Pattern = std::variant<std::string, std::shared_ptr<const Foundation::Regex>>;
    struct Options {
        std::string pid;
        std::string user;  // account name or uid
        Pattern pattern;
        bool use_services_ignore = false;
    };

    explicit Running(const Options& options);

    Proc::PID& pid_object() { return pid_; }
    bool check_all();

  private:
    Proc::PID pid_;
    std::optional<uid_t> uid_;
    std::shared_ptr<const Foundation::Regex> regex_;
    std::string pattern_text_;
    bool use_services_ignore_;
};

}  // namespace Tavrel::Process::Check
