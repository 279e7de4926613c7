// Tavrel::Foundation::Fcntl: the table of named open, lock and fcntl constants.
//
//   int flags = Tavrel::Foundation::Fcntl::or_flags({"O_WRONLY", "O_CREAT", "O_EXCL"});
//   int op    = Tavrel::Foundation::Fcntl::or_flags({"EX", "NB"});        // LOCK_EX | LOCK_NB
//
// Names are the standard constant names (O_*, LOCK_*, F_*, FD_CLOEXEC,
// SEEK_*), with or without their prefix. A short name that two constants
// share (CLOEXEC: O_CLOEXEC and FD_CLOEXEC) must be given in full.
// or_flags caches its answer per list of names; an unknown or ambiguous name
// is a Tavrel::Foundation::PlainError naming it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Foundation::Fcntl {

// The value of one named constant; Tavrel::Foundation::PlainError when unknown.
int constant(std::string_view name);
// Bitwise or of the named constants, cached per list.
int or_flags(const std::vector<std::string>& names);

namespace detail {
// Number of lists whose answer is cached (for tests).
std::size_t cached_lists();
}  // namespace detail

}  // namespace Tavrel::Foundation::Fcntl
