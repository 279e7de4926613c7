#include "Tavrel/Service/Copies.h"

#include "Tavrel/Process/Kill.h"
#include "Tavrel/Process/Proc/Lineage.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Process/PsParser/Parse.h"
#include "Tavrel/Foundation/Text/Words.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

namespace Tavrel::Service::Copies {

namespace {

std::optional<pid_t> as_pid(const char* name) {
    if (*name < '1' || *name > '9')
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(name, &end, 10);
    if (errno != 0 || *end != '\0' || value > INT_MAX)
        return std::nullopt;
    return static_cast<pid_t>(value);
}

std::vector<std::string> words_of(const std::string& cmdline) {
    std::vector<std::string> words;
    std::string word;
    for (char c : cmdline) {
        if (c == '\0') {
            words.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(std::move(word));
    return words;
}

// The command line's first word is the program as launched, not a title the
// process gave itself ("sshd: alice [priv]").
bool names_program(const std::string& first, const std::string& resolved,
                   const std::string& given) {
    return first == given || first == resolved || first == Foundation::Text::last_path_part(given) ||
           first == Foundation::Text::last_path_part(resolved);
}

bool is_zombie(const std::string& dir) {
    const auto stat_line = Foundation::ProcFs::path(dir + "/stat");
    return !stat_line || Process::PsParser::Parse::stat_state(*stat_line).value_or('Z') == 'Z';
}

}  // namespace

std::vector<Copy> find(const std::string& program, const std::vector<std::string>& args,
                       std::optional<uid_t> owner) {
    std::error_code ec;
    const std::string wanted = std::filesystem::canonical(program, ec).string();
    if (program.empty() || ec)
        return {};
    const auto lineage = Process::Proc::Lineage::pids();
    std::vector<Copy> copies;
    DIR* proc = ::opendir(Foundation::ProcFs::PROC_PATH.c_str());
    if (proc == nullptr)
        return {};
    while (const dirent* entry = ::readdir(proc)) {
        const auto pid = as_pid(entry->d_name);
        if (!pid || *pid <= 1 || std::find(lineage.begin(), lineage.end(), *pid) != lineage.end())
            continue;
        const std::string dir = Foundation::ProcFs::PROC_PATH + "/" + entry->d_name;
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0 || (owner && st.st_uid != *owner))
            continue;
        if (Foundation::ProcFs::executable(dir) != wanted)
            continue;
        const auto cmdline = Foundation::ProcFs::path(dir + "/cmdline");
        if (!cmdline)
            continue;
        const auto words = words_of(*cmdline);
        if (words.empty() || !names_program(words.front(), wanted, program) ||
            !std::equal(words.begin() + 1, words.end(), args.begin(), args.end()))
            continue;
        if (is_zombie(dir))
            continue;
        copies.push_back({*pid, Foundation::Text::join_words(words)});
    }
    ::closedir(proc);
    std::sort(copies.begin(), copies.end(), [](const Copy& a, const Copy& b) { return a.pid < b.pid; });
    return copies;
}

bool end(const std::vector<Copy>& copies, double grace) {
    if (copies.empty())
        return true;
    std::vector<pid_t> pids;
    for (const auto& copy : copies)
        pids.push_back(copy.pid);
    return Process::Kill::safekill_multipid(pids, false, grace) == 1;
}

std::string describe(const std::vector<Copy>& copies) {
    std::string text;
    for (const auto& copy : copies)
        text += (text.empty() ? "" : ", ") + ("PID " + std::to_string(copy.pid) + " (" + copy.command + ")");
    return text;
}

}  // namespace Tavrel::Service::Copies
