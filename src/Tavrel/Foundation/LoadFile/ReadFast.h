// Tavrel::Foundation::LoadFile::ReadFast: the read loops under the whole-file readers.
// An interrupted read (EINTR) is repeated; any other failure is a
// Tavrel::Foundation::PlainError with the system error text.
#pragma once

#include <cstddef>
#include <string>

namespace Tavrel::Foundation::LoadFile::ReadFast {

inline constexpr size_t READ_CHUNK = 262144;

// The loop itself, for callers with their own failure type: one read(2) of up
// to `length` bytes into `buffer` at `offset`, repeated after EINTR. Returns 0
// with `bytes_read` set (the buffer resized to offset + bytes_read), or the
// errno of the failure (the buffer cut back to `offset`).
int read_once(int fd, std::string& buffer, size_t length, size_t offset, size_t& bytes_read);
// One read(2) of up to `length` bytes into `buffer` at `offset` (the buffer
// is resized to offset + bytes read). Returns the bytes read (0 at the end).
size_t read_fast(int fd, std::string& buffer, size_t length, size_t offset = 0);
// Appends READ_CHUNK-sized reads to `buffer` until end of file; returns the
// number of bytes appended.
size_t read_all_fast(int fd, std::string& buffer);

}  // namespace Tavrel::Foundation::LoadFile::ReadFast
