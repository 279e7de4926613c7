// Tavrel::Process::Proc::_has_proc: is the process file system there to ask?
//
//   if (Tavrel::Process::Proc::_has_proc()) ... confirm the pid through /proc ...
//
// It looks at Tavrel::Foundation::ProcFs::PROC_PATH. An empty mount point is not a process
// file system, so the answer needs the "self" entry that procfs always has.
#pragma once

namespace Tavrel::Process::Proc {

bool _has_proc();

}  // namespace Tavrel::Process::Proc
