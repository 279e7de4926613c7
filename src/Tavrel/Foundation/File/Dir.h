// Tavrel::Foundation::File::Dir: directories that hold root's private files (locks,
// caches), made with exact modes and checked through the descriptor that is
// then used, so that what was checked is what is written into.
//
//   Tavrel::Foundation::File::MakeDir::safemkdir("/run/zidavoveva/lock", 0700, {.parents = true});
//   auto dir = Tavrel::Foundation::File::Dir::open_private("/run/zidavoveva/lock");
//   int fd = ::openat(dir.get(), "httpd", O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
//
// A directory is private when it is a real directory (not a symbolic link),
// owned by root or by this process's effective user, and writable by nobody
// else (no group or other write bit). Anyone else who could write into it
// could plant links there that make root write to a file of their choosing.
#pragma once

#include "Tavrel/Foundation/Fd/UniqueFd.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

namespace Tavrel::Foundation::File::Dir {

// Why a directory with the status `st` (from lstat or fstat) is not private:
// "symlink", "not_directory", "owner" or "writable"; nothing when it is.
std::optional<std::string> private_dir_fault(const struct stat& st);

// Opens `path` (not through a symbolic link at its last component) and checks
// through the descriptor that it is private. Io::UnsafeDirectory ("path",
// "reason" as above, "owner", "mode") when it is not; Io::OpenFailed when it
// cannot be opened.
Fd::UniqueFd open_private(const std::string& path);

}  // namespace Tavrel::Foundation::File::Dir
