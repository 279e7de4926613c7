// Tavrel::Foundation::File::MakeDir: creates a directory with exactly the permissions asked
// for, whatever the umask.
//
//   if (!Tavrel::Foundation::File::MakeDir::safemkdir("/var/log/zidavoveva/startup", 0700, {.parents = true}))
//       warn(errno);
//
// True when the directory was created, or is already a directory (a symbolic
// link to one does not count: the path must be the directory itself). An
// existing directory keeps its permissions. False with errno set otherwise;
// nothing is thrown and the caller's errno is kept on success.
#pragma once

#include <sys/types.h>

#include <string>

namespace Tavrel::Foundation::File::MakeDir {

struct Options {
    // Create missing parents too, each with the same permissions.
    bool parents = false;
};

bool safemkdir(const std::string& path, mode_t permissions, const Options& options = {});

}  // namespace Tavrel::Foundation::File::MakeDir
