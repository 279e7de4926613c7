// Tavrel::IO::Flush: the full-write loop every writer of the library uses.
//
//   Tavrel::IO::Flush::write_all(fd, text);   // all of it, or an exception
//
// Short writes are continued and interrupted writes (EINTR) repeated; on a
// non-blocking descriptor that is full (EAGAIN) the loop waits until it is
// writable again. Any other failure throws Io::WriteFailed with "length" (the
// bytes still to write) and "error" (errno). A write that makes no progress
// is a programming fault (Tavrel::PlainError). errno is unchanged on success.
#pragma once

#include <string_view>

namespace Tavrel::IO::Flush {

void write_all(int fd, std::string_view data);
// The same loop for writers whose failures must never interrupt the caller (the
// logger, the output objects): false instead of an exception; errno unchanged.
bool try_write_all(int fd, std::string_view data) noexcept;

}  // namespace Tavrel::IO::Flush
