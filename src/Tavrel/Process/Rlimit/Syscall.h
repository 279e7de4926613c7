// Tavrel::Process::Rlimit::Syscall: read and set one resource limit of the calling process
// with the getrlimit/setrlimit system calls issued directly, on a record of two
// unsigned 64-bit fields (soft, then hard).
//
//   auto [soft, hard] = Tavrel::Process::Rlimit::Syscall::getrlimit("NOFILE");
//   Tavrel::Process::Rlimit::Syscall::setrlimit("CORE", 0, 0);
//
// A resource is a name of RLIMITS or an all-digit number. An unknown name or a
// malformed number is a programming fault (PlainError). A kernel refusal of
// setrlimit is a typed failure "System::CallFailed" carrying the errno, so the
// policy layer can collect it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace Tavrel::Process::Rlimit::Syscall {

// The kernel's RLIM_INFINITY (all bits set); named apart from the C macro.
inline constexpr std::uint64_t INFINITE_LIMIT = ~std::uint64_t{0};

// Resource name -> Linux resource number.
const std::map<std::string, int, std::less<>>& RLIMITS();

// The resource number for a name or an all-digit text; PlainError otherwise.
int resource_number(std::string_view resource);

// (soft, hard) of the resource.
std::pair<std::uint64_t, std::uint64_t> getrlimit(std::string_view resource);

// Sets both values; returns true. Throws System::CallFailed on refusal.
bool setrlimit(std::string_view resource, std::uint64_t soft, std::uint64_t hard);

}  // namespace Tavrel::Process::Rlimit::Syscall
