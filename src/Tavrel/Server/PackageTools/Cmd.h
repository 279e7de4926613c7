// Tavrel::Server::PackageTools::Cmd: the base of the wrappers around one external tool
// (the package tools in particular). It runs the tool through the command
// runner with a fixed environment (C locale, Python I/O in UTF-8, Debian tools
// non-interactive), optionally serialised with other users of the same tool by
// a lock file of our own plus a wait for the tool's own lock files, and logs
// the tool's output line by line.
//
//   class DpkgQuery : public Tavrel::Server::PackageTools::Cmd {
//       std::string bin_path() const override { return *Tavrel::Run::Binaries::path("dpkg-query"); }
//   };
//   auto result = DpkgQuery().cmd({"-W", "cron"});   // {output, status}
//
// Subclasses supply bin_path() and may override locks_to_wait_for(),
// lock_to_hold(), needs_lock() and lang().
#pragma once

#include "Tavrel/Foundation/File/Flock.h"
#include "Tavrel/Run/SafeRun/Object.h"

#include <sys/types.h>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Foundation {
class Logger;
}

namespace Tavrel::Server::PackageTools {

// Seconds to wait for the package-tool locks: during a base installation the
// other installers may hold them much longer.
inline double LOCK_TIMEOUT = 5400;
inline double LOCK_TIMEOUT_BASE_INSTALL = 10800;
inline constexpr std::string_view BASE_INSTALL_ENV = "TAVREL_BASE_INSTALL";
// Our own lock files, shared by every tool of the product that runs a package tool.
inline std::string LOCK_DIR = "/var/zidavoveva/locks";
inline constexpr mode_t LOCK_DIR_MODE = 0700;
inline int LOCK_PROGRESS_ROUNDS = 40;
// Between lock attempts: LOCK_SLEEP_MIN_MS plus a random part below LOCK_SLEEP_JITTER_MS.
inline int LOCK_SLEEP_MIN_MS = 100;
inline int LOCK_SLEEP_JITTER_MS = 50;

inline constexpr std::string_view PYTHONIOENCODING_VALUE = "utf-8";
inline constexpr std::string_view DEBIAN_FRONTEND_VALUE = "noninteractive";

// Which processes hold the given files open: path -> pids; files nobody holds
// are absent. Defaults to the system's open-file check.
using OpenFileCheck =
    std::function<std::map<std::string, std::vector<pid_t>>(const std::vector<std::string>& paths)>;
std::map<std::string, std::vector<pid_t>> default_open_file_check(
    const std::vector<std::string>& paths);
inline OpenFileCheck open_file_check = default_open_file_check;

struct CmdOptions {
    std::optional<std::string> bin = std::nullopt;  // overrides bin_path()
    std::optional<double> lock_timeout = std::nullopt;
};

class Cmd {
  public:
    using Options = CmdOptions;
    struct RunOptions {
        std::vector<std::string> args;
        Run::SafeRun::Input stdin_from;
        Run::SafeRun::Output stdout_to;
        Run::SafeRun::Output stderr_to;
        std::optional<double> timeout;
        std::optional<double> read_timeout;
        bool die_on_error = false;
        std::shared_ptr<Foundation::Logger> logger;
    };
    struct Result {
        std::string output;  // standard output and error, all lines
        int status = 0;      // the wait status
    };

    explicit Cmd(Options options = {});
    virtual ~Cmd() = default;

    // The program path (cached). PlainError when it is missing or not executable.
    const std::string& bin();
    double lock_timeout() const { return lock_timeout_; }

    Run::SafeRun::Object run(RunOptions options);
    Run::SafeRun::Object run_or_die(RunOptions options);

    Result cmd(const std::vector<std::string>& args);
    Result cmd_with_logger(const std::shared_ptr<Foundation::Logger>& logger,
                           const std::vector<std::string>& args);
    Result cmd_with_logger_no_timeout(const std::shared_ptr<Foundation::Logger>& logger,
                                      const std::vector<std::string>& args);
    Result cmd_but_warn_on_fail(const std::vector<std::string>& args);

    // Our own lock for this tool, held until the handle is dropped. PlainError
    // when the wrapper names no lock, the directory or file cannot be made, or
    // the wait runs out.
    Foundation::File::Flock hold_lock(const std::shared_ptr<Foundation::Logger>& logger,
                               const std::vector<std::string>& args);
    // Returns once no process holds any of locks_to_wait_for(); PlainError on timeout.
    void wait_for_locks(const std::shared_ptr<Foundation::Logger>& logger,
                        const std::vector<std::string>& args);
    // Nothing when needs_lock(args) is false; else hold_lock, then wait_for_locks.
    std::optional<Foundation::File::Flock> get_lock_for_cmd(const std::shared_ptr<Foundation::Logger>& logger,
                                                     const std::vector<std::string>& args);

    static constexpr std::array<std::string_view, 5> special_lang_env_vars() {
        return {"LANG", "LANGUAGE", "LC_ALL", "LC_CTYPE", "LC_MESSAGES"};
    }
    // The environment the tool runs with; applied in the child before exec.
    void apply_tool_env() const;
    // A random sleep interval in milliseconds, within the configured bounds.
    static int random_sleep_ms();

  protected:
    virtual std::string bin_path() const;
    virtual std::vector<std::string> locks_to_wait_for() const { return {}; }
    virtual std::optional<std::string> lock_to_hold() const { return std::nullopt; }
    virtual bool needs_lock(const std::vector<std::string>& /*args*/) const { return false; }
    virtual std::string lang() const { return "C"; }

  private:
    Result run_collecting(const std::shared_ptr<Foundation::Logger>& logger,
                          const std::vector<std::string>& args, bool with_timeouts);
    std::string describe(const std::vector<std::string>& args);

    std::optional<std::string> bin_;
    double lock_timeout_;
};

}  // namespace Tavrel::Server::PackageTools
