// Tavrel::Foundation::File::Open: open(2) so that a created file gets exactly the
// permissions asked for, whatever the process umask.
//
//   Tavrel::Foundation::Fd::UniqueFd fd;
//   if (!Tavrel::Foundation::File::Open::sysopen_with_real_perms(
//           fd, path, O_WRONLY | O_CREAT | O_EXCL, 0640)) { ...errno... }
//
// The permissions are masked to 0777 and the umask is set to their complement
// for the length of the open, then restored. Without permissions the file
// gets 0666 under the current umask. O_CLOEXEC is always added. The result is
// the open's: false (or -1) with errno set on failure, nothing thrown.
#pragma once

#include "Tavrel/Foundation/Fd/UniqueFd.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace Tavrel::Foundation::File::Open {

// Returns the new descriptor, or -1 with errno set.
int sysopen_with_real_perms(const std::string& path, int flags,
                            std::optional<mode_t> permissions = std::nullopt);
// Flag names go through Tavrel::Foundation::Fcntl::or_flags (unknown name: PlainError).
int sysopen_with_real_perms(const std::string& path, const std::vector<std::string>& flag_names,
                            std::optional<mode_t> permissions = std::nullopt);
// The same for `name` relative to the open directory `dirfd` (openat(2)).
int sysopenat_with_real_perms(int dirfd, const std::string& name, int flags,
                              std::optional<mode_t> permissions = std::nullopt);
// Stores the descriptor in `fd` on success (closing any previous one).
bool sysopen_with_real_perms(Fd::UniqueFd& fd, const std::string& path, int flags,
                             std::optional<mode_t> permissions = std::nullopt);

}  // namespace Tavrel::Foundation::File::Open
