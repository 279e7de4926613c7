// Tavrel::Run::SafeRun::Object: runs one external program to completion, never
// through a shell, and answers questions about the outcome.
//
// The whole run happens in the constructor: when it returns, the child has
// ended and been reaped, and its captured output is in the object.
//
//   Tavrel::Run::SafeRun::Object run({.program = "/bin/systemctl",
//                                .args = {"is-active", "cron.service"},
//                                .timeout = 30});
//   if (run.CHILD_ERROR() == 0) use(run.stdout_text());
//   run.die_if_error();   // Child::ExitedNonZero / Signalled / TimedOut
//
//   auto r = Tavrel::Run::SafeRun::Object::new_or_die({.program = "/usr/bin/dpkg-query",
//                                                 .args = {"-W", "cron"}});
//
// Contract:
// - The program is executed with exactly `args` as its arguments. A program
//   containing a slash that does not exist is refused with Param::Invalid
//   before anything runs; nothing searches PATH.
// - Without `before_exec` the child is started with posix_spawn (no code of
//   ours runs in it); with `before_exec` it is forked, and that callback runs
//   in the child just before exec. Either way the child starts with default
//   signal dispositions, an empty signal mask, and only descriptors 0, 1, 2.
// - Standard output and standard error are read concurrently with feeding
//   standard input, so a child that writes much on both streams, or never
//   reads its input, cannot deadlock the run.
// - `timeout` bounds the whole run (0: none); `read_timeout` bounds the time
//   without any progress on the pipes (0: none). A child that overruns gets
//   SIGTERM, then SIGKILL after SAFEKILL_TIMEOUT seconds; timed_out() tells
//   which limit was hit.
// - A program that cannot be executed ends with exit code errno (2 for a
//   missing program), exec_failed() true, and a line naming the program added
//   to the captured standard error, in both start paths.
// - A child that fails or times out is not an exception here: the
//   constructor throws only for bad options (PlainError, Param::Invalid), a
//   failure to set up pipes or start the child (PlainError, Fork::Failed), or
//   a failure while feeding input (Io::WriteFailed, Io::ReadFailed).
// - While it runs, SIGCHLD has its default handling (so the child can be
//   reaped) and SIGPIPE is ignored while input is written; both are restored.
#pragma once

#include "Tavrel/Run/ChildErrorStringifier.h"

#include <sys/types.h>

#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

namespace Tavrel::Run::SafeRun {

// Overall time limit of a run, in seconds.
inline double DEFAULT_TIMEOUT = 3600;
// Idle-read limit, in seconds; 0 means none.
inline double DEFAULT_READ_TIMEOUT = 0;
// Bytes read per step when copying a caller's input stream into the child.
inline std::size_t INPUT_CHUNK_SIZE = 131072;
// Seconds between the polite (TERM) and the forced (KILL) stop of a child.
inline double SAFEKILL_TIMEOUT = 1;
// TMP and TEMP are set to HOME + "/" + this when the parent has no TMP.
inline std::string TMP_SUBDIR = "tmp";

// A caller's descriptor, given to the child as it is (we never close it).
struct Fd {
    int fd = -1;
};

// Writes whatever it wants to the child's input pipe (a blocking descriptor),
// then returns; the runner closes the pipe afterwards. It runs before the
// outputs are read, so it must not write more than the child consumes
// without producing output beyond a pipe's capacity; prefer a text.
using InputWriter = std::function<void(int fd)>;

// The child's standard input: nothing (the null device), a text, a shared
// text, a caller's descriptor, a stream read in INPUT_CHUNK_SIZE chunks, or a
// writer function. An empty text counts as nothing.
using Input = std::variant<std::monostate, std::string, std::shared_ptr<const std::string>, Fd,
                           std::istream*, InputWriter>;

// Where a child's output stream goes: captured (the default), a caller's
// descriptor given to the child, or a caller's stream the runner copies into.
// When stdout_to and stderr_to name the same stream, the two are merged.
using Output = std::variant<std::monostate, Fd, std::ostream*>;

struct Options {
    std::string program{};            // required; a path or a name
    std::vector<std::string> args{};  // arguments, without the program name
    Input stdin_from{};
    Output stdout_to{};
    Output stderr_to{};
    std::optional<double> timeout{};       // default DEFAULT_TIMEOUT
    std::optional<double> read_timeout{};  // default DEFAULT_READ_TIMEOUT
    bool keep_env = false;                 // pass the parent's environment unchanged
    // "NAME=value" entries set in this child's environment only, replacing a
    // variable of that name (after the cleaning, or over the kept environment).
    std::vector<std::string> set_env{};
    // HOME and USER for the child; default: the effective user's password entry.
    std::optional<std::string> user{};
    std::optional<std::string> homedir{};
    // Runs in the forked child right before exec (forces the fork path). It
    // may change the environment; HOME, USER, TMP, TEMP are filled in after
    // it where missing. Throwing ends the child with errno (or 127).
    std::function<void()> before_exec{};
    // Runs in the parent right after the child exists.
    std::function<void(pid_t)> after_fork{};
};

class Object : public ChildErrorStringifier {
  public:
    explicit Object(Options options);
    // Runs, then die_if_error().
    static Object new_or_die(Options options);

    // Captured text of a stream; throws PlainError for a stream that was not
    // captured (sent to a caller's descriptor or stream, or merged).
    const std::string& stdout_text() const;
    const std::string& stderr_text() const;
    std::shared_ptr<const std::string> stdout_r() const;
    std::shared_ptr<const std::string> stderr_r() const;
    bool stdout_captured() const { return stdout_ != nullptr; }
    bool stderr_captured() const { return stderr_ != nullptr; }

    pid_t child_pid() const { return child_pid_; }
    const std::vector<std::string>& args() const { return args_; }
    // The program and its arguments joined by spaces, for messages.
    std::string command_line() const;
    // The limit (seconds) that stopped the child, when one did.
    std::optional<double> timed_out() const { return timed_out_after_; }

    // Child::TimedOut (program, pid, timeout, stdout, stderr) when it timed
    // out; otherwise the base class's answer with stdout and stderr added.
    std::optional<Foundation::Exception> to_exception() const override;

  protected:
    std::string program_for_phrases() const override { return command_line(); }
    std::optional<long> pid_for_phrases() const override;
    std::vector<Foundation::LocaleString> extra_autopsy_phrases() const override;

  private:
    std::vector<std::string> args_;
    pid_t child_pid_ = -1;
    std::shared_ptr<std::string> stdout_;
    std::shared_ptr<std::string> stderr_;
    std::optional<double> timed_out_after_;
};

}  // namespace Tavrel::Run::SafeRun
