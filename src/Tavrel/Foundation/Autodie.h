// Tavrel::Foundation::Autodie: checked wrappers around the file and descriptor system
// calls whose failure matters. Each throws a typed Io::* exception carrying
// "error" (errno) and its arguments instead of returning a value the caller
// might ignore, and leaves the caller's errno unchanged when it succeeds.
//
//   auto fd = Tavrel::Foundation::Autodie::open("<", path);        // O_RDONLY|O_CLOEXEC
//   Tavrel::Foundation::Autodie::print(fd.get(), "text\n");
//   if (Tavrel::Foundation::Autodie::exists(path)) ...              // ENOENT -> false
//
// Every descriptor opened here is close-on-exec. Modes are the usual open
// modes: "<" read, ">" write (create, truncate), ">>" append (create),
// "+<" read-write, "+>" read-write (create, truncate), "+>>" read-append
// (create). The command-pipe modes ("-|", "|-") are refused with a
// Tavrel::Foundation::PlainError: this library never runs a program through a shell.
#pragma once

#include "Tavrel/Foundation/Fd/UniqueFd.h"

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Foundation::Autodie {

// Permissions of a file created by open() before the umask applies.
inline constexpr mode_t OPEN_DEFAULT_PERMISSIONS = 0666;

// Opens `path` in `mode`. Throws Io::OpenFailed with "mode", "path", "error"
// and, when the file carries them, "immutable"/"append_only" set to 1.
Fd::UniqueFd open(std::string_view mode, const std::string& path,
                       mode_t permissions = OPEN_DEFAULT_PERMISSIONS);
// The same, storing the descriptor in `fd` (any previous one is closed); true.
bool open(Fd::UniqueFd& fd, std::string_view mode, const std::string& path,
          mode_t permissions = OPEN_DEFAULT_PERMISSIONS);
// open(2) flags given as numbers; O_CLOEXEC is always added. Throws as open().
Fd::UniqueFd sysopen(const std::string& path, int flags,
                          mode_t permissions = OPEN_DEFAULT_PERMISSIONS);

// Writes all items (full-write loop). Io::WriteFailed with the total length.
bool print(int fd, std::string_view data);
bool print(int fd, const std::vector<std::string>& items);

// One write(2) of `length` bytes of `buffer` from `offset` (length defaults
// to the rest). Returns the bytes written; Io::WriteFailed with "length".
size_t syswrite(int fd, std::string_view buffer, size_t length = std::string_view::npos,
                size_t offset = 0);
// As syswrite, repeating a call interrupted by a signal (EINTR).
size_t syswrite_sigguard(int fd, std::string_view buffer, size_t length = std::string_view::npos,
                         size_t offset = 0);
// One read(2) of up to `length` bytes into `buffer` at `offset` (the buffer is
// resized to offset + bytes read), repeating EINTR. Returns the bytes read,
// 0 at end of file. Io::ReadFailed with "error".
size_t sysread_sigguard(int fd, std::string& buffer, size_t length, size_t offset = 0);

// Io::RenameFailed with "old", "new", "error".
bool rename(const std::string& old_path, const std::string& new_path);
// Io::SeekFailed with "handle", "position", "whence", "error".
bool seek(int fd, off_t position, int whence = SEEK_SET);
// Io::TruncateFailed with "length", "error" (and "path" for the path form).
bool truncate(int fd, off_t length);
bool truncate(const std::string& path, off_t length);
// Returns fcntl's result; Io::FcntlFailed with "function", "error".
int fcntl(int fd, int function, long argument = 0);

// true when the path exists, false on ENOENT (errno left as it was);
// Io::StatFailed with "path", "error" for any other failure.
bool exists(const std::string& path);
// As exists, without following a final symbolic link.
bool exists_nofollow(const std::string& path);

// Hard link; Io::LinkFailed with "old", "new", "error".
bool link(const std::string& old_path, const std::string& new_path);
// Removes the path: true when removed, false when it was already missing;
// Io::UnlinkFailed with "path", "error" otherwise.
bool unlink_if_exists(const std::string& path);

}  // namespace Tavrel::Foundation::Autodie
