// Tavrel::Process::Fuser: which processes hold given files open.
//
//   auto holders = Tavrel::Process::Fuser::check({"/var/lib/dpkg/lock"});
//   if (holders.empty()) ...;   // nobody holds it
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace Tavrel::Process::Fuser {

// File path -> the pids holding it (in pid text order); unheld files are absent.
std::map<std::string, std::vector<pid_t>> check(const std::vector<std::string>& paths);
// Every pid under Tavrel::Foundation::ProcFs::PROC_PATH; empty when the directory cannot be opened.
std::vector<pid_t> running_processes();
// The given paths that are targets of the pid's descriptors, distinct and sorted.
std::vector<std::string> proc_has_open_files(pid_t pid, const std::vector<std::string>& paths);

}  // namespace Tavrel::Process::Fuser
