// Tavrel::Run::CloseFDs: closes every descriptor a launched program must not
// inherit (the run lock, logs, sockets of this process).
//
//   // in a forked child, just before exec:
//   Tavrel::Run::CloseFDs::fast_closefds({error_pipe});   // 0, 1, 2 and error_pipe stay
//
// Async-signal-safe: it allocates nothing and may run between fork and exec.
// The kernel's close_range does the work in one call per gap between kept
// descriptors; where the kernel lacks it, descriptors are closed one by one up
// to the descriptor limit.
#pragma once

#include <initializer_list>

namespace Tavrel::Run::CloseFDs {

// At most this many descriptors can be kept above standard error.
inline constexpr int MAX_KEPT = 16;

// Closes every descriptor above 2 except those in `keep` (negative entries and
// entries 0 to 2 are ignored; entries beyond MAX_KEPT are closed).
void fast_closefds(std::initializer_list<int> keep = {});
// The same with a plain array, for callers that build the list at run time.
void fast_closefds(const int* keep, int count);

}  // namespace Tavrel::Run::CloseFDs
