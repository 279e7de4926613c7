// Tavrel::Process::Proc::Lineage: a process and all its ancestors.
//
//   auto immune = Tavrel::Process::Proc::Lineage::pids();   // self, parent, ..., 1
//
// Used to keep a run from ending the programs that started it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace Tavrel::Process::Proc::Lineage {

// `from` (the calling process when 0) followed by its parent, grandparent and
// so on up to the first process; the chain stops early where a parent cannot
// be read.
std::vector<pid_t> pids(pid_t from = 0);

}  // namespace Tavrel::Process::Proc::Lineage
