// Tavrel::Process::Rlimit::Unset: lifts the calling process's resource limits before a
// daemon is started from it, so the daemon never inherits the lower limits of
// whoever ran the tool (an administrator's shell, a cron job, a web request).
//
//   Tavrel::Process::Rlimit::Unset::unset_rlimits();   // before every start
//
// What it sets:
//   - RSS and AS to the server's memory ceiling, CORE to the same value when
//     the `coredump` configuration key is true, else 0 (Tavrel::Process::Rlimit);
//   - CPU, FSIZE, DATA and NPROC to unlimited;
//   - NOFILE raised, never lowered, to at least NOFILE_MIN_SOFT / NOFILE_MIN_HARD.
// A process that may not raise hard limits (no CAP_SYS_RESOURCE, as root in
// many containers) raises the soft limits up to the hard ones instead.
// Limits it does not name (STACK, MEMLOCK, ...) keep their values: changing them
// changes how programs lay out memory, which is not the caller's to decide.
// Kernel refusals are logged as one warning; the answer is false then.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Tavrel::Process::Rlimit::Unset {

inline std::vector<std::string> UNLIMITED_RESOURCES = {"CPU", "FSIZE", "DATA", "NPROC"};
inline std::uint64_t NOFILE_MIN_SOFT = 1024;
inline std::uint64_t NOFILE_MIN_HARD = 524288;

bool unset_rlimits();

}  // namespace Tavrel::Process::Rlimit::Unset
