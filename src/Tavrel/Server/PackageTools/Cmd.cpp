#include "Tavrel/Server/PackageTools/Cmd.h"

#include "Tavrel/Foundation/Poll.h"
#include "Tavrel/Process/Fuser.h"
#include "Tavrel/Output/Callback/LineWrite.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Foundation/PlainError.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <ostream>
#include <streambuf>

namespace Tavrel::Server::PackageTools {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void sleep_between_attempts() {
    Foundation::Poll::pause_for(Cmd::random_sleep_ms() / 1000.0);
}

std::string join_args(const std::vector<std::string>& args) {
    std::string joined;
    for (const auto& arg : args)
        joined += (joined.empty() ? "" : " ") + arg;
    return joined;
}

// A stream whose text goes to a line writer, so the runner's copy of a
// tool's output reaches the line function as each line arrives.
class LineStreambuf final : public std::streambuf {
  public:
    explicit LineStreambuf(std::shared_ptr<Output::Callback::LineWrite> lines) : lines_(std::move(lines)) {}

  protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        lines_->write(std::string_view(s, static_cast<std::size_t>(n)));
        return n;
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        const char ch = traits_type::to_char_type(c);
        lines_->write(std::string_view(&ch, 1));
        return c;
    }

  private:
    std::shared_ptr<Output::Callback::LineWrite> lines_;
};

void log_info(const std::shared_ptr<Foundation::Logger>& logger, const std::string& text) {
    if (logger)
        logger->info(text);
}

// Creates the directory (and missing parents) with exactly LOCK_DIR_MODE on the last level.
void make_lock_dir(const std::string& dir) {
    if (dir.empty())
        return;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return;
    std::error_code ec;
    auto parent = std::filesystem::path(dir).parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent, ec);
    if (::mkdir(dir.c_str(), LOCK_DIR_MODE) == 0) {
        ::chmod(dir.c_str(), LOCK_DIR_MODE);  // whatever the umask took away
    } else if (errno != EEXIST) {
        throw Foundation::PlainError("Could not create the lock directory " + dir + ": " +
                         std::strerror(errno));
    }
}

}  // namespace

int Cmd::random_sleep_ms() {
    static thread_local std::minstd_rand engine{std::random_device{}()};
    int jitter = LOCK_SLEEP_JITTER_MS > 0 ? static_cast<int>(engine() % LOCK_SLEEP_JITTER_MS) : 0;
    return LOCK_SLEEP_MIN_MS + jitter;
}

Cmd::Cmd(Options options) : bin_(std::move(options.bin)) {
    if (options.lock_timeout) {
        lock_timeout_ = *options.lock_timeout;
    } else {
        const char* base_install = std::getenv(std::string(BASE_INSTALL_ENV).c_str());
        lock_timeout_ = base_install ? LOCK_TIMEOUT_BASE_INSTALL : LOCK_TIMEOUT;
    }
}

std::string Cmd::bin_path() const {
    throw Foundation::PlainError("This command wrapper does not say which program it runs");
}

const std::string& Cmd::bin() {
    if (!bin_)
        bin_ = bin_path();
    struct stat st {};
    if (bin_->empty() || ::stat(bin_->c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        ::access(bin_->c_str(), X_OK) != 0) {
        throw Foundation::PlainError("The program \"" + *bin_ + "\" is missing or not executable");
    }
    return *bin_;
}

std::string Cmd::describe(const std::vector<std::string>& args) {
    std::string text = bin_.value_or("(unknown program)");
    if (!args.empty())
        text += " " + join_args(args);
    return text;
}

void Cmd::apply_tool_env() const {
    const std::string value = lang();
    for (auto name : special_lang_env_vars())
        ::setenv(std::string(name).c_str(), value.c_str(), 1);
    ::setenv("PYTHONIOENCODING", std::string(PYTHONIOENCODING_VALUE).c_str(), 1);
    ::setenv("DEBIAN_FRONTEND", std::string(DEBIAN_FRONTEND_VALUE).c_str(), 1);
}

Run::SafeRun::Object Cmd::run(RunOptions options) {
    const std::string program = bin();
    auto lock = get_lock_for_cmd(options.logger, options.args);
    Run::SafeRun::Options run_options;
    run_options.program = program;
    run_options.args = std::move(options.args);
    run_options.stdin_from = std::move(options.stdin_from);
    run_options.stdout_to = options.stdout_to;
    run_options.stderr_to = options.stderr_to;
    run_options.timeout = options.timeout;
    run_options.read_timeout = options.read_timeout;
    run_options.before_exec = [this] { apply_tool_env(); };
    if (options.die_on_error)
        return Run::SafeRun::Object::new_or_die(std::move(run_options));
    return Run::SafeRun::Object(std::move(run_options));
}

Run::SafeRun::Object Cmd::run_or_die(RunOptions options) {
    options.die_on_error = true;
    return run(std::move(options));
}

Cmd::Result Cmd::run_collecting(const std::shared_ptr<Foundation::Logger>& logger,
                                const std::vector<std::string>& args, bool with_timeouts) {
    // Each line is collected and logged as the tool writes it, not when it
    // has finished: a package operation may run for an hour.
    std::string collected;
    auto lines = std::make_shared<Output::Callback::LineWrite>([&](std::string_view line) {
        collected += line;
        if (logger) {
            if (!line.empty() && line.back() == '\n')
                line.remove_suffix(1);
            logger->info(std::string(line));
        }
    });
    LineStreambuf to_lines(lines);
    std::ostream both(&to_lines);
    RunOptions options;
    options.args = args;
    options.stdout_to = &both;
    options.stderr_to = &both;
    options.logger = logger;
    if (!with_timeouts) {
        options.timeout = 0;
        options.read_timeout = 0;
    }
    Run::SafeRun::Object result = run(std::move(options));
    lines->close();  // a last line without its newline
    Result answer{std::move(collected), result.CHILD_ERROR()};
    if (logger) {
        if (answer.status != 0) {
            logger->warn(describe(args) + ": " + result.autopsy().value_or("failed") + "\n" +
                         answer.output);
        }
    }
    return answer;
}

Cmd::Result Cmd::cmd(const std::vector<std::string>& args) {
    return cmd_with_logger(nullptr, args);
}

Cmd::Result Cmd::cmd_with_logger(const std::shared_ptr<Foundation::Logger>& logger,
                                 const std::vector<std::string>& args) {
    return run_collecting(logger, args, true);
}

Cmd::Result Cmd::cmd_with_logger_no_timeout(const std::shared_ptr<Foundation::Logger>& logger,
                                            const std::vector<std::string>& args) {
    return run_collecting(logger, args, false);
}

Cmd::Result Cmd::cmd_but_warn_on_fail(const std::vector<std::string>& args) {
    Result result = cmd(args);
    if (result.status != 0) {
        Foundation::Logger::create()->warn(describe(args) + " failed with status " +
                               std::to_string(result.status) + ": " + result.output);
    }
    return result;
}

Foundation::File::Flock Cmd::hold_lock(const std::shared_ptr<Foundation::Logger>& logger,
                                const std::vector<std::string>& args) {
    auto lock_file = lock_to_hold();
    if (!lock_file || lock_file->empty()) {
        throw Foundation::PlainError("The wrapper for " + describe(args) + " needs a lock but names none");
    }
    std::string dir = std::filesystem::path(*lock_file).parent_path().string();
    make_lock_dir(dir);
    std::optional<Foundation::File::Flock> handle;
    try {
        handle.emplace(Foundation::File::Flock::open_path(*lock_file, 0600));
    } catch (const std::exception& e) {
        throw Foundation::PlainError("Could not open the lock file " + *lock_file + ": " + e.what());
    }
    auto start = Clock::now();
    for (int round = 0; seconds_since(start) < lock_timeout_; ++round) {
        if (handle->flock({"EX", "NB"}))
            return std::move(*handle);
        if (round == 0) {
            log_info(logger, "Waiting for the lock " + *lock_file + " to run " + describe(args));
        } else if (round % LOCK_PROGRESS_ROUNDS == 0) {
            log_info(logger, "Still waiting for the lock " + *lock_file);
        }
        sleep_between_attempts();
    }
    std::string message = "Timed out after " + std::to_string(static_cast<long>(lock_timeout_)) +
                          " seconds waiting for the lock " + *lock_file + " to run " +
                          describe(args);
    if (logger)
        logger->error(message);
    throw Foundation::PlainError(message);
}

void Cmd::wait_for_locks(const std::shared_ptr<Foundation::Logger>& logger,
                         const std::vector<std::string>& args) {
    std::vector<std::string> files = locks_to_wait_for();
    if (files.empty())
        return;
    auto start = Clock::now();
    for (int round = 0; seconds_since(start) < lock_timeout_; ++round) {
        std::size_t held = open_file_check ? open_file_check(files).size() : 0;
        if (held == 0)
            return;
        if (round % LOCK_PROGRESS_ROUNDS == 0) {
            log_info(logger, std::to_string(held) + " lock file(s) of " + describe(args) +
                                 " are still open in other processes; waiting");
        }
        sleep_between_attempts();
    }
    std::string message =
        "Timed out waiting for other processes to release the locks of " + describe(args);
    if (logger)
        logger->error(message);
    throw Foundation::PlainError(message);
}

std::optional<Foundation::File::Flock> Cmd::get_lock_for_cmd(const std::shared_ptr<Foundation::Logger>& logger,
                                                      const std::vector<std::string>& args) {
    if (!needs_lock(args))
        return std::nullopt;
    Foundation::File::Flock lock = hold_lock(logger, args);
    wait_for_locks(logger, args);
    return lock;
}

std::map<std::string, std::vector<pid_t>> default_open_file_check(
    const std::vector<std::string>& paths) {
    return Process::Fuser::check(paths);
}

}  // namespace Tavrel::Server::PackageTools
