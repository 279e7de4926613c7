// Tavrel::Run::ChildErrorStringifier: decodes a wait status (as returned by waitpid)
// into exit code, signal and core-dump flag, describes it in words and turns a
// failure into a typed exception (Child::Signalled, Child::ExitedNonZero).
//
//   Tavrel::Run::ChildErrorStringifier st(status, "/etc/init.d/cron");
//   if (auto text = st.autopsy()) log(*text);   // nothing for status 0
//   st.die_if_error();                          // throws on failure
//
// Used on its own for a status obtained elsewhere, and as the base of the
// command runner Tavrel::Run::SafeRun::Object.
#pragma once

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/LocaleString.h"

#include <optional>
#include <string>
#include <vector>

namespace Tavrel::Run {

class ChildErrorStringifier {
  public:
    explicit ChildErrorStringifier(int child_error = 0, std::string program_name = {});
    virtual ~ChildErrorStringifier() = default;

    // The raw wait status.
    int CHILD_ERROR() const { return child_error_; }
    // Nothing for status 0; otherwise status >> 8 (0 for a death by signal).
    // A negative status is one that was lost (the child was reaped
    // elsewhere): a failure, with error_code -1 and signal_code 0.
    std::optional<int> error_code() const;
    bool status_lost() const { return child_error_ < 0; }
    // Symbolic errno name equal to the exit code ("ENOENT" for 2), or "".
    std::string error_name() const;
    // Nothing for status 0; otherwise status & 127.
    std::optional<int> signal_code() const;
    // "SIGKILL" and so on; "" when there is no signal.
    std::string signal_name() const;
    bool dumped_core() const { return child_error_ > 0 && (child_error_ & 128) != 0; }
    // True when the program could not be executed at all.
    bool exec_failed() const { return exec_failed_; }

    const std::string& program() const { return program_; }
    void set_program(std::string name) { program_ = std::move(name); }

    // Nothing for status 0; otherwise the rendered phrases (exit or signal,
    // core dump, then those a subclass adds) joined by AUTOPSY_SEPARATOR.
    std::optional<std::string> autopsy() const;
    // "SIGKILL (9)", "exit code 3", or "success"; " (core dumped)" appended.
    std::string terse_autopsy() const;

    // Throws to_exception() when there is one.
    const ChildErrorStringifier& die_if_error() const;
    // Child::Signalled, else Child::ExitedNonZero, else nothing.
    virtual std::optional<Foundation::Exception> to_exception() const;

    // Standard Linux names: signal_name_of(9) == "SIGKILL", errno_name_of(2) == "ENOENT";
    // "" for numbers without a name.
    static std::string signal_name_of(int signo);
    static std::string errno_name_of(int errnum);

    static constexpr std::string_view AUTOPSY_SEPARATOR = " ";

  protected:
    void set_child_error(int status) { child_error_ = status; }
    void set_exec_failed(bool failed) { exec_failed_ = failed; }
    // The program as shown in phrases (the runner adds its arguments).
    virtual std::string program_for_phrases() const { return program_; }
    // The child's pid for phrases, when known (the runner knows it).
    virtual std::optional<long> pid_for_phrases() const { return std::nullopt; }
    // Further autopsy phrases of a subclass (the runner's time limit).
    virtual std::vector<Foundation::LocaleString> extra_autopsy_phrases() const { return {}; }

    Foundation::LocaleString exit_phrase() const;
    Foundation::LocaleString lost_phrase() const;
    Foundation::LocaleString signal_phrase() const;

  private:
    int child_error_ = 0;
    std::string program_;
    bool exec_failed_ = false;
};

}  // namespace Tavrel::Run
