// Tavrel::Foundation::Fd::Query: small questions about descriptors.
//
//   if (Tavrel::Foundation::Fd::Query::is_a(fd)) ...            // an open descriptor
//   fd_set readable = Tavrel::Foundation::Fd::Query::to_bitmask({out, err});
//   Tavrel::Foundation::Fd::Query::fill_standard_descriptors();  // first thing in main
#pragma once

#include <sys/select.h>

#include <vector>

namespace Tavrel::Foundation::Fd::Query {

// true when `fd` is an open descriptor of this process (errno kept).
bool is_a(int fd);
// true when `fd` is a terminal (isatty).
bool is_terminal(int fd);
// true when both are the same real descriptor number.
bool are_same(int a, int b);
// The select(2) set of the descriptors; Tavrel::Foundation::PlainError for a descriptor
// that is negative or does not fit in an fd_set.
fd_set to_bitmask(const std::vector<int>& fds);
// Opens the null device on each of descriptors 0, 1 and 2 that is closed. A
// program started with one closed would otherwise hand that number to the
// next file it opens (a lock file, a cache) and write its output into it.
// false when one could not be filled.
bool fill_standard_descriptors();

}  // namespace Tavrel::Foundation::Fd::Query
