#include "Tavrel/Foundation/ProcFs.h"

#include "Tavrel/Foundation/Fd/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace Tavrel::Foundation::ProcFs {

std::optional<std::string> at(int dirfd, const char* relpath) {
    Fd::UniqueFd fd(::openat(dirfd, relpath, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd)
        return std::nullopt;
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::optional<std::string> path(const std::string& path) {
    return at(AT_FDCWD, path.c_str());
}

std::optional<std::string> link_at(int dirfd, const char* relpath) {
    char buf[4096];
    ssize_t n = ::readlinkat(dirfd, relpath, buf, sizeof buf);
    if (n < 0)
        return std::nullopt;
    return std::string(buf, static_cast<size_t>(n));
}

std::string executable(const std::string& process_dir) {
    auto exe = link_at(AT_FDCWD, (process_dir + "/exe").c_str());
    if (!exe)
        return {};
    static const std::string deleted = " (deleted)";
    if (exe->ends_with(deleted))
        exe->resize(exe->size() - deleted.size());
    return *exe;
}

}  // namespace Tavrel::Foundation::ProcFs
