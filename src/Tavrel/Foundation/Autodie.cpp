#include "Tavrel/Foundation/Autodie.h"
#include "Tavrel/Foundation/ErrnoGuard.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/IO/Flush.h"
#include "Tavrel/Foundation/LoadFile/ReadFast.h"
#include "Tavrel/Foundation/PlainError.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Tavrel::Foundation::Autodie {

namespace {

int flags_for_mode(std::string_view mode) {
    if (mode.empty())
        throw PlainError("open needs a mode");
    if (auto colon = mode.find(':'); colon != std::string_view::npos)
        mode = mode.substr(0, colon);
    while (!mode.empty() && mode.back() == ' ')
        mode.remove_suffix(1);
    if (mode == "-|" || mode == "|-") {
        throw PlainError(
            "open: command pipes are not supported; run programs with the safe "
            "command runner");
    }
    if (mode == "<")
        return O_RDONLY;
    if (mode == ">")
        return O_WRONLY | O_CREAT | O_TRUNC;
    if (mode == ">>")
        return O_WRONLY | O_CREAT | O_APPEND;
    if (mode == "+<")
        return O_RDWR;
    if (mode == "+>")
        return O_RDWR | O_CREAT | O_TRUNC;
    if (mode == "+>>")
        return O_RDWR | O_CREAT | O_APPEND;
    throw PlainError("open: unknown mode \"" + std::string(mode) + "\"");
}

std::string mode_for_flags(int flags) {
    const bool append = flags & O_APPEND;
    switch (flags & O_ACCMODE) {
        case O_RDONLY:
            return "<";
        case O_WRONLY:
            return append ? ">>" : ">";
        default:
            return append ? "+>>" : (flags & O_TRUNC) ? "+>" : "+<";
    }
}

// Adds the immutable / append-only attribute flags, which explain an EPERM
// that the permission bits do not.
void add_attribute_flags(Exception::Metadata& md, const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return;
    int attrs = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &attrs) == 0) {
        if (attrs & FS_IMMUTABLE_FL)
            md.emplace_back("immutable", 1);
        if (attrs & FS_APPEND_FL)
            md.emplace_back("append_only", 1);
    }
    ::close(fd);
}

[[noreturn]] void open_failed(const std::string& mode, const std::string& path, int err) {
    Exception::Metadata md{{"mode", mode}, {"path", path}, {"error", err}};
    if (err != ENOENT)
        add_attribute_flags(md, path);
    errno = err;
    throw Exception::create("Io::OpenFailed", std::move(md));
}

std::string_view slice(std::string_view buffer, size_t length, size_t offset) {
    if (offset > buffer.size())
        throw PlainError("syswrite: offset outside the buffer");
    return buffer.substr(offset, length);
}

bool exists_with(int (*stat_fn)(const char*, struct stat*), const std::string& path) {
    const int saved = errno;
    struct stat st;
    if (stat_fn(path.c_str(), &st) == 0)
        return true;
    const int err = errno;
    if (err == ENOENT) {
        errno = saved;
        return false;
    }
    throw Exception::create("Io::StatFailed", Exception::Metadata{{"path", path}, {"error", err}});
}

}  // namespace

Fd::UniqueFd sysopen(const std::string& path, int flags, mode_t permissions) {
    ErrnoGuard keep;
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, permissions);
    if (fd < 0) {
        keep.reporting();
        open_failed(mode_for_flags(flags), path, errno);
    }
    return Fd::UniqueFd(fd);
}

Fd::UniqueFd open(std::string_view mode, const std::string& path, mode_t permissions) {
    const int flags = flags_for_mode(mode);
    ErrnoGuard keep;
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, permissions);
    if (fd < 0) {
        keep.reporting();
        open_failed(std::string(mode), path, errno);
    }
    return Fd::UniqueFd(fd);
}

bool open(Fd::UniqueFd& fd, std::string_view mode, const std::string& path,
          mode_t permissions) {
    fd = open(mode, path, permissions);
    return true;
}

bool print(int fd, std::string_view data) {
    try {
        IO::Flush::write_all(fd, data);
    } catch (Exception& e) {
        // Report the whole length asked for, as callers of print expect.
        e.set("length", data.size());
        throw;
    }
    return true;
}

bool print(int fd, const std::vector<std::string>& items) {
    std::string all;
    for (const auto& item : items)
        all += item;
    return print(fd, all);
}

size_t syswrite(int fd, std::string_view buffer, size_t length, size_t offset) {
    std::string_view part = slice(buffer, length, offset);
    ErrnoGuard keep;
    ssize_t n = ::write(fd, part.data(), part.size());
    if (n < 0) {
        keep.reporting();
        throw Exception::create("Io::WriteFailed",
                                Exception::Metadata{{"length", part.size()}, {"error", errno}});
    }
    return static_cast<size_t>(n);
}

size_t syswrite_sigguard(int fd, std::string_view buffer, size_t length, size_t offset) {
    std::string_view part = slice(buffer, length, offset);
    ErrnoGuard keep;
    for (;;) {
        ssize_t n = ::write(fd, part.data(), part.size());
        if (n >= 0)
            return static_cast<size_t>(n);
        if (errno == EINTR)
            continue;
        keep.reporting();
        throw Exception::create("Io::WriteFailed",
                                Exception::Metadata{{"length", part.size()}, {"error", errno}});
    }
}

size_t sysread_sigguard(int fd, std::string& buffer, size_t length, size_t offset) {
    ErrnoGuard keep;
    size_t bytes_read = 0;
    if (int err = LoadFile::ReadFast::read_once(fd, buffer, length, offset, bytes_read); err != 0) {
        keep.reporting();
        errno = err;
        throw Exception::create("Io::ReadFailed",
                                Exception::Metadata{{"handle", fd}, {"error", err}});
    }
    return bytes_read;
}

bool rename(const std::string& old_path, const std::string& new_path) {
    ErrnoGuard keep;
    if (::rename(old_path.c_str(), new_path.c_str()) != 0) {
        keep.reporting();
        throw Exception::create(
            "Io::RenameFailed",
            Exception::Metadata{{"error", errno}, {"old_path", old_path}, {"new_path", new_path}});
    }
    return true;
}

bool seek(int fd, off_t position, int whence) {
    ErrnoGuard keep;
    if (::lseek(fd, position, whence) == static_cast<off_t>(-1)) {
        keep.reporting();
        throw Exception::create(
            "Io::SeekFailed",
            Exception::Metadata{
                {"handle", fd}, {"error", errno}, {"whence", whence}, {"position", position}});
    }
    return true;
}

bool truncate(int fd, off_t length) {
    ErrnoGuard keep;
    if (::ftruncate(fd, length) != 0) {
        keep.reporting();
        throw Exception::create("Io::TruncateFailed",
                                Exception::Metadata{{"error", errno}, {"length", length}});
    }
    return true;
}

bool truncate(const std::string& path, off_t length) {
    ErrnoGuard keep;
    if (::truncate(path.c_str(), length) != 0) {
        keep.reporting();
        throw Exception::create(
            "Io::TruncateFailed",
            Exception::Metadata{{"error", errno}, {"length", length}, {"path", path}});
    }
    return true;
}

int fcntl(int fd, int function, long argument) {
    ErrnoGuard keep;
    int r = ::fcntl(fd, function, argument);
    if (r == -1) {
        keep.reporting();
        throw Exception::create(
            "Io::FcntlFailed",
            Exception::Metadata{{"error", errno}, {"function", function}, {"handle", fd}});
    }
    return r;
}

bool exists(const std::string& path) {
    return exists_with(::stat, path);
}

bool exists_nofollow(const std::string& path) {
    return exists_with(::lstat, path);
}

bool link(const std::string& old_path, const std::string& new_path) {
    ErrnoGuard keep;
    if (::link(old_path.c_str(), new_path.c_str()) != 0) {
        keep.reporting();
        // Not in the message catalogue: the message is given here.
        const int err = errno;
        throw Exception::create(
            "Io::LinkFailed",
            "The system failed to link “[_1]” to “[_2]” because of an error: [_3]",
            {old_path, new_path, std::strerror(err)},
            Exception::Metadata{{"error", err}, {"old_path", old_path}, {"new_path", new_path}});
    }
    return true;
}

bool unlink_if_exists(const std::string& path) {
    ErrnoGuard keep;
    if (::unlink(path.c_str()) == 0)
        return true;
    if (errno == ENOENT)
        return false;
    keep.reporting();
    throw Exception::create("Io::UnlinkFailed",
                            Exception::Metadata{{"path", path}, {"error", errno}});
}

}  // namespace Tavrel::Foundation::Autodie
