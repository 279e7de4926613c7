// Tavrel::Foundation::ProcFs: small whole-file reads for the process file system,
// and where that file system is (PROC_PATH).
//
// Files under /proc report a size of 0, so they are read until end of file.
// A file that cannot be opened or read (the process has gone, permission)
// gives nothing: for /proc that is an ordinary outcome, never an error.
//
//   auto text = Tavrel::Foundation::ProcFs::at(proc_dirfd, "1234/cmdline");
#pragma once

#include <optional>
#include <string>

namespace Tavrel::Foundation::ProcFs {

// Where the process file system is mounted. Every reader of process or
// kernel files ("<PROC_PATH>/42/stat", "<PROC_PATH>/self/exe",
// "<PROC_PATH>/sys/fs/nr_open") builds its path from this one setting, so a
// test that points it at a tree of its own moves every reader at once.
inline std::string PROC_PATH = "/proc";

}  // namespace Tavrel::Foundation::ProcFs

namespace Tavrel::Foundation::ProcFs {

// `relpath` is opened relative to `dirfd` (or as given when it is absolute).
std::optional<std::string> at(int dirfd, const char* relpath);
std::optional<std::string> path(const std::string& path);
// The target of a symbolic link, or nothing.
std::optional<std::string> link_at(int dirfd, const char* relpath);
// The program a process runs, from its directory ("/proc/42"), without the
// mark of a program replaced on disk ("/usr/sbin/x (deleted)"); "" when it
// cannot be read (another user's process without privilege, or one that has
// ended).
std::string executable(const std::string& process_dir);

}  // namespace Tavrel::Foundation::ProcFs
