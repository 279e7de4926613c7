#include "Tavrel/Run/SafeRun/Simple.h"

#include "Tavrel/Foundation/ErrnoGuard.h"
#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Run/SafeRun/Child.h"
#include "Tavrel/Run/SafeRun/LastStatus.h"
#include "Tavrel/Run/SafeRun/SignalGuard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

extern char** environ;

namespace Tavrel::Run::SafeRun::Simple {

namespace {

using Foundation::Fd::UniqueFd;

constexpr std::string_view SHELL_CHARACTERS = " \t\n\r\f\v<>&|;";

// The file to test for an absolute program: the element itself, or, when no
// such file exists and it looks like a command line, the part before the
// first shell character.
bool startable(const std::string& program) {
    if (program.empty() || program[0] != '/')
        return true;
    std::string path = program;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        const auto cut = program.find_first_of(SHELL_CHARACTERS);
        if (cut != std::string::npos)
            path = program.substr(0, cut);
    }
    return ::access(path.c_str(), X_OK) == 0;
}

std::vector<char*> child_environment() {
    std::vector<char*> env;
    for (char** e = environ; e && *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        const std::string_view name(*e, eq ? static_cast<std::size_t>(eq - *e) : std::strlen(*e));
        bool removed = false;
        for (const auto& r : REMOVED_ENV_VARS)
            removed = removed || r == name;
        if (!removed)
            env.push_back(*e);
    }
    env.push_back(nullptr);
    return env;
}

std::shared_ptr<std::string> run(const std::vector<std::string>& command, int error_flag) {
    // The caller reads the outcome from the last child status, not errno.
    Foundation::ErrnoGuard keep_errno;
    auto output = std::make_shared<std::string>();
    if (command.empty() || command[0].empty())
        throw Foundation::PlainError("No command was given to run.");
    if (command.size() == 1 &&
        command[0].find_first_of(SINGLE_ELEMENT_FORBIDDEN) != std::string::npos) {
        throw Foundation::PlainError("The command “" + command[0] +
                         "” must be given as a list of the program and its arguments.");
    }
    set_last_child_status(-1);
    if (!startable(command[0]))
        return output;

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return output;
    UniqueFd read_end(fds[0]), write_end(fds[1]);
    UniqueFd null;
    if (error_flag == NULL_STDERR || error_flag == NULL_STDOUT) {
        null.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
        if (!null)
            return output;
    }
    int out = write_end.get();
    int err = 2;
    if (error_flag == MERGE_STDERR)
        err = write_end.get();
    if (error_flag == NULL_STDERR)
        err = null.get();
    if (error_flag == NULL_STDOUT) {
        out = null.get();
        err = write_end.get();
    }
    std::vector<std::string> args = command;
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp = child_environment();

    SignalGuard sigchld(SIGCHLD, SIG_DFL);
    Child child;
    const int rc = spawn_child(child, argv[0], argv.data(), envp.data(), {0, out, err});
    write_end.reset();
    null.reset();
    if (rc == 0) {
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(read_end.get(), buf, sizeof buf);
            if (n > 0) {
                output->append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                break;
            }
        }
        read_end.reset();
        set_last_child_status(child.wait(-1).value_or(-1));
    }
    return output;
}

}  // namespace

std::shared_ptr<std::string> saferun_r(const std::vector<std::string>& command, int error_flag) {
    return run(command, error_flag);
}

std::string saferun(const std::vector<std::string>& command) {
    return std::move(*run(command, INHERIT_STDERR));
}

std::string saferunallerrors(const std::vector<std::string>& command) {
    return std::move(*run(command, MERGE_STDERR));
}

std::string saferunnoerror(const std::vector<std::string>& command) {
    return std::move(*run(command, NULL_STDERR));
}

std::string saferunonlyerrors(const std::vector<std::string>& command) {
    return std::move(*run(command, NULL_STDOUT));
}

}  // namespace Tavrel::Run::SafeRun::Simple
