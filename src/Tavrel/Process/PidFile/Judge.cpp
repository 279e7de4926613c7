#include "Tavrel/Process/PidFile/Judge.h"

#include "Tavrel/Foundation/ErrnoGuard.h"
#include "Tavrel/Process/Proc/Lineage.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Process/PsParser.h"
#include "Tavrel/Process/PsParser/Parse.h"
#include "Tavrel/Config/PwUtils.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Foundation/Text/Printable.h"
#include "Tavrel/Foundation/Text/Words.h"
#include "Tavrel/Process/PidFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace Tavrel::Process::PidFile::Judge {

namespace {

// The kernel keeps a process's name to this many characters.
constexpr std::size_t KERNEL_NAME_LENGTH = 15;

Verdict refused(Outcome outcome, std::optional<pid_t> named, std::string reason) {
    Verdict v;
    v.outcome = outcome;
    v.named = named;
    v.reason = std::move(reason);
    return v;
}

bool runs_binary(const std::string& exe, const std::string& binary) {
    if (exe.empty() || binary.empty())
        return false;
    std::error_code ec;
    const std::string wanted = std::filesystem::canonical(binary, ec).string();
    return !ec && exe == wanted;
}

// Whether the executable is one of the known interpreters (perl, perl5.36):
// an interpreted daemon (spamd is a perl script) runs one, and often shows a
// title of its own ("spamd") instead of the script's path.
bool is_interpreter(const std::string& exe) {
    static const Foundation::Regex interpreter("^" + PsParser::get_known_interpreters_regex().pattern() +
                                   "(?:[0-9][0-9.]*)?$");
    return !exe.empty() && interpreter.test(Foundation::Text::last_path_part(exe));
}

// The script an interpreter runs: the first word after its options; "" when
// its command line does not show one.
std::string interpreted_script(Proc::PID& process) {
    std::vector<std::string> words;
    try {
        words = process.cmdline();
    } catch (const std::exception&) {
        return {};
    }
    for (std::size_t i = 1; i < words.size(); ++i)
        if (!words[i].empty() && words[i][0] != PsParser::OPTION_MARKER)
            return words[i];
    return {};
}

bool trusted_file(const struct stat& st) {
    return (st.st_uid == 0 || st.st_uid == ::geteuid()) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Whether `path` (the process's executable, or the first word of its command
// line) matches the pattern `program`, or is an interpreter whose script
// does; false for a pattern that does not compile.
bool runs_program(const std::string& program, const std::string& path, Proc::PID& process) {
    if (program.empty() || path.empty())
        return false;
    try {
        const Foundation::Regex pattern(program);
        const std::string script = is_interpreter(path) ? interpreted_script(process) : "";
        return pattern.test(path) || (!script.empty() && pattern.test(script));
    } catch (const std::exception&) {
        return false;
    }
}

// The first word of the process's command line; "" when it shows none.
std::string first_word(Proc::PID& process) {
    try {
        const std::vector<std::string> words = process.cmdline();
        return words.empty() ? std::string() : words.front();
    } catch (const std::exception&) {
        return {};
    }
}

// Whether the kernel's name of the process is the file name of `binary`, as
// far as the kernel keeps it. A daemon that retitles its command line
// ("php-fpm: master process") keeps the name it was started under.
bool kernel_name_is(pid_t pid, const std::string& binary) {
    if (binary.empty())
        return false;
    const auto text = Foundation::ProcFs::path(Foundation::ProcFs::PROC_PATH + "/" + std::to_string(pid) + "/stat");
    const auto stat = text ? PsParser::Parse::stat(*text) : std::nullopt;
    const std::string file_name = Foundation::Text::last_path_part(binary).substr(0, KERNEL_NAME_LENGTH);
    return stat && !stat->name.empty() && stat->name == file_name;
}

}  // namespace

Verdict judge(const std::string& pidfile, const Expectation& expected) {
    Foundation::ErrnoGuard keep_errno;
    if (pidfile.empty())
        return refused(Outcome::NoFile, std::nullopt, "The service has no pid file.");
    struct stat st {};
    const auto text = read_pidfile(pidfile, &st);
    if (!text) {
        const int err = errno;
        if (err == ENOENT)
            return refused(Outcome::NoFile, std::nullopt,
                           "The pid file " + pidfile + " does not exist.");
        if (err == ELOOP)
            return refused(
                Outcome::Unreadable, std::nullopt,
                "The pid file " + pidfile + " is a symbolic link, which is never followed.");
        return refused(
            Outcome::Unreadable, std::nullopt,
            "The pid file " + pidfile + " could not be read: " + std::strerror(err) + ".");
    }
    if (!S_ISREG(st.st_mode))
        return refused(Outcome::Unreadable, std::nullopt,
                       "The pid file " + pidfile + " is not a regular file.");
    std::string line = text->substr(0, text->find('\n'));
    const std::size_t first = line.find_first_not_of(" \t\r");
    // Empty, or 0: some daemons leave that when they end.
    if (first == std::string::npos ||
        line.substr(first, line.find_last_not_of(" \t\r") + 1 - first) == "0")
        return refused(Outcome::NoFile, std::nullopt, "The pid file " + pidfile + " holds no pid.");
    const auto pid = pid_from_text(line);
    if (!pid)
        return refused(Outcome::NoPid, std::nullopt,
                       "The pid file " + pidfile + " does not name a process (“" +
                           Foundation::Text::printable(line) + "”).");
    const std::string which =
        "process " + std::to_string(*pid) + " named by the pid file " + pidfile;

    const auto lineage = Proc::Lineage::pids();
    if (std::find(lineage.begin(), lineage.end(), *pid) != lineage.end())
        return refused(Outcome::Ancestor, pid,
                       "The " + which + " is this run or one that started it.");

    std::optional<Proc::PID> process;
    try {
        process.emplace(*pid);
    } catch (const std::exception&) {
    }
    if (!process || !process->is_running())
        return refused(Outcome::NotRunning, pid, "The " + which + " is not running.");

    const std::string exe = Foundation::ProcFs::executable(Foundation::ProcFs::PROC_PATH + "/" + std::to_string(*pid));
    bool program_confirmed = false;
    if (!expected.program.empty() && !exe.empty()) {
        const bool matches = runs_program(expected.program, exe, *process);
        const bool interpreted = is_interpreter(exe);
        // An interpreter's executable says nothing about which script it
        // runs: such a process is left to the owner's confirmation below.
        if (!matches && !interpreted)
            return refused(Outcome::WrongProgram, pid,
                           "The " + which + " runs “" + Foundation::Text::printable(exe) +
                               "”, not the service's program.");
        program_confirmed = matches;
    } else if (exe.empty() && trusted_file(st)) {
        // Another account's process hides its executable from a run without
        // root (a listing by an unprivileged user): its command line and the
        // kernel's name of it are all there is to see. Any process may choose
        // both, so they speak only for a file that nobody but root or this
        // account can have written, and the age check below still turns away
        // a pid that was reused. Names that say something else prove nothing
        // either way (daemons retitle themselves): the owner decides then.
        program_confirmed = runs_program(expected.program, first_word(*process), *process) ||
                            kernel_name_is(*pid, expected.binary);
    }
    program_confirmed = program_confirmed || runs_binary(exe, expected.binary);

    if (process->started_after(st.st_mtim, AGE_SLACK))
        return refused(Outcome::Reused, pid,
                       "The pid file " + pidfile + " is older than the process " +
                           std::to_string(*pid) +
                           " it names, so that pid was reused by another process.");

    bool owner_confirmed = false;
    if (!program_confirmed && !expected.owner.empty()) {
        const auto owner_uid = Config::PwUtils::normalize_to_uid(expected.owner);
        try {
            owner_confirmed =
                owner_uid && process->uid() == *owner_uid && (*owner_uid != 0 || trusted_file(st));
        } catch (const std::exception&) {
            owner_confirmed = false;
        }
    }
    if (!program_confirmed && !owner_confirmed)
        return refused(Outcome::Unconfirmed, pid,
                       "The " + which + " is neither the service's program nor its account's (" +
                           (expected.owner.empty() ? std::string("none given") : expected.owner) +
                           ")" + (trusted_file(st) ? "" : ", and others may write the file") + ".");
    // Still the process judged: it may have ended while it was looked at.
    if (!process->is_running())
        return refused(Outcome::NotRunning, pid, "The " + which + " is not running.");

    Verdict v;
    v.outcome = Outcome::Confirmed;
    v.named = pid;
    v.process = std::move(process);
    return v;
}

}  // namespace Tavrel::Process::PidFile::Judge
