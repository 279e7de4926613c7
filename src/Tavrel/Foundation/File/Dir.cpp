#include "Tavrel/Foundation/File/Dir.h"

#include "Tavrel/Foundation/Exception.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace Tavrel::Foundation::File::Dir {

std::optional<std::string> private_dir_fault(const struct stat& st) {
    if (S_ISLNK(st.st_mode))
        return "symlink";
    if (!S_ISDIR(st.st_mode))
        return "not_directory";
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        return "owner";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "writable";
    return std::nullopt;
}

Fd::UniqueFd open_private(const std::string& path) {
    const int saved = errno;
    Fd::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        const int err = errno;
        struct stat st {};
        // O_NOFOLLOW and O_DIRECTORY answer a link or a file with a bare
        // errno; say what is there instead.
        if (::lstat(path.c_str(), &st) == 0) {
            if (auto fault = private_dir_fault(st)) {
                errno = saved;
                throw Exception::create("Io::UnsafeDirectory",
                                        {{"path", path}, {"reason", *fault}});
            }
        }
        errno = saved;
        throw Exception::create("Io::OpenFailed", {{"path", path}, {"mode", "<"}, {"error", err}});
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        const int err = errno;
        errno = saved;
        throw Exception::create("Io::StatFailed", {{"path", path}, {"error", err}});
    }
    if (auto fault = private_dir_fault(st)) {
        throw Exception::create("Io::UnsafeDirectory",
                                {{"path", path},
                                 {"reason", *fault},
                                 {"owner", static_cast<long long>(st.st_uid)},
                                 {"mode", static_cast<long long>(st.st_mode & 07777)}});
    }
    return fd;
}

}  // namespace Tavrel::Foundation::File::Dir
