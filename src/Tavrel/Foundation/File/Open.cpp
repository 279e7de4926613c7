#include "Tavrel/Foundation/File/Open.h"

#include "Tavrel/Foundation/Fcntl.h"
#include "Tavrel/Foundation/File/UmaskGuard.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace Tavrel::Foundation::File::Open {

int sysopen_with_real_perms(const std::string& path, int flags, std::optional<mode_t> permissions) {
    return sysopenat_with_real_perms(AT_FDCWD, path, flags, permissions);
}

int sysopenat_with_real_perms(int dirfd, const std::string& name, int flags,
                              std::optional<mode_t> permissions) {
    flags |= O_CLOEXEC;
    const int saved = errno;
    int fd;
    int err;
    if (!permissions) {
        fd = ::openat(dirfd, name.c_str(), flags, 0666);
        err = errno;
    } else {
        const mode_t perms = *permissions & 0777;
        UmaskGuard guard(static_cast<mode_t>(~perms & 0777));
        fd = ::openat(dirfd, name.c_str(), flags, perms);
        err = errno;
    }
    errno = fd >= 0 ? saved : err;
    return fd;
}

int sysopen_with_real_perms(const std::string& path, const std::vector<std::string>& flag_names,
                            std::optional<mode_t> permissions) {
    return sysopen_with_real_perms(path, Fcntl::or_flags(flag_names), permissions);
}

bool sysopen_with_real_perms(Fd::UniqueFd& fd, const std::string& path, int flags,
                             std::optional<mode_t> permissions) {
    int r = sysopen_with_real_perms(path, flags, permissions);
    if (r < 0)
        return false;
    fd.reset(r);
    return true;
}

}  // namespace Tavrel::Foundation::File::Open
