#include "Tavrel/Process/Fuser.h"
#include "Tavrel/Foundation/Text/Digits.h"

#include "Tavrel/Foundation/ProcFs.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <memory>

namespace Tavrel::Process::Fuser {

namespace {

// The all-digit entry names of a directory; empty when it cannot be opened.
std::vector<std::string> digit_entries(const std::string& path) {
    std::vector<std::string> out;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
    if (!dir)
        return out;
    while (struct dirent* e = ::readdir(dir.get()))
        if (Foundation::Text::all_digits(e->d_name))
            out.emplace_back(e->d_name);
    return out;
}

}  // namespace

std::vector<pid_t> running_processes() {
    std::vector<pid_t> out;
    for (const auto& name : digit_entries(Foundation::ProcFs::PROC_PATH))
        if (auto pid = Foundation::Text::digits_value(name, INT32_MAX))
            out.push_back(static_cast<pid_t>(*pid));
    return out;
}

std::vector<std::string> proc_has_open_files(pid_t pid, const std::vector<std::string>& paths) {
    std::string fd_dir = Foundation::ProcFs::PROC_PATH + "/" + std::to_string(pid) + "/fd";
    std::vector<std::string> out;
    for (const auto& fd : digit_entries(fd_dir)) {
        auto target = Foundation::ProcFs::link_at(AT_FDCWD, (fd_dir + "/" + fd).c_str());
        if (target && std::find(paths.begin(), paths.end(), *target) != paths.end())
            out.push_back(*target);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::map<std::string, std::vector<pid_t>> check(const std::vector<std::string>& paths) {
    std::vector<std::string> pids = digit_entries(Foundation::ProcFs::PROC_PATH);
    std::sort(pids.begin(), pids.end());
    std::map<std::string, std::vector<pid_t>> out;
    for (const auto& pid_text : pids) {
        auto pid = Foundation::Text::digits_value(pid_text, INT32_MAX);
        if (!pid)
            continue;
        for (const auto& file : proc_has_open_files(static_cast<pid_t>(*pid), paths))
            out[file].push_back(static_cast<pid_t>(*pid));
    }
    return out;
}

}  // namespace Tavrel::Process::Fuser
