// Tavrel::ZidavovEva::_has_proc: is the process file system there to ask?
//
//   if (Tavrel::ZidavovEva::_has_proc()) ... confirm the pid through /proc ...
//
// It looks at Tavrel::Proc::PROC_PATH. An empty mount point is not a process
// file system, so the answer needs the "self" entry that procfs always has.
#pragma once

namespace Tavrel::ZidavovEva {

bool _has_proc();

}  // namespace Tavrel::ZidavovEva
