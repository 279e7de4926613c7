// Tavrel::Process::Proc::Bin: the executable path of one process.
//
//   std::string exe = Tavrel::Process::Proc::Bin::getbin(pid);   // "" when unknown
//
// The kernel appends " (deleted)" to the link of an executable that was
// removed; the path is cut at its first whitespace, so that marker goes.
#pragma once

#include <sys/types.h>

#include <string>

namespace Tavrel::Process::Proc::Bin {

// Tried when the link under Tavrel::Foundation::ProcFs::PROC_PATH cannot be read: the
// Linux process file system as mounted by compatibility layers.
inline std::string SECOND_PROC_PATH = "/compat/linux/proc";

// Empty for pid 0 or less, or when neither link can be read.
std::string getbin(pid_t pid);

}  // namespace Tavrel::Process::Proc::Bin
