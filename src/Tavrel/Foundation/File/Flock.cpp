#include "Tavrel/Foundation/File/Flock.h"

#include "Tavrel/Foundation/Autodie.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/Fcntl.h"
#include "Tavrel/Foundation/File/Open.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/ProcFs.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace Tavrel::Foundation::File {

namespace {

// The locked file's path, for error messages.
std::string path_of_fd(int fd) {
    const std::string link = ProcFs::PROC_PATH + "/self/fd/" + std::to_string(fd);
    char buf[PATH_MAX];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

}  // namespace

Flock::Flock(Fd::UniqueFd fd) : fd_(std::move(fd)) {}

Flock::~Flock() {
    release();
}

Flock::Flock(Flock&& other) noexcept
    : fd_(std::move(other.fd_)), owner_pid_(std::exchange(other.owner_pid_, 0)) {}

Flock& Flock::operator=(Flock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::move(other.fd_);
        owner_pid_ = std::exchange(other.owner_pid_, 0);
    }
    return *this;
}

bool Flock::flock(const std::vector<std::string>& operations) {
    const pid_t me = ::getpid();
    if (owner_pid_ != 0 && owner_pid_ != me) {
        throw PlainError("The lock handle on descriptor " + std::to_string(fd_.get()) +
                         " was locked by process " + std::to_string(owner_pid_) + "; process " +
                         std::to_string(me) + " may not lock through it");
    }
    std::vector<std::string> names;
    names.reserve(operations.size());
    for (const auto& op : operations)
        names.push_back(op.rfind("LOCK_", 0) == 0 ? op : "LOCK_" + op);
    const int code = Fcntl::or_flags(names);

    const int saved = errno;
    if (::flock(fd_.get(), code) != 0) {
        const int err = errno;
        errno = saved;
        if (err == EWOULDBLOCK && (code & LOCK_NB))
            return false;
        throw Exception::create(
            "Io::LockFailed",
            Exception::Metadata{
                {"path", path_of_fd(fd_.get())}, {"error", err}, {"operation", code}});
    }
    errno = saved;
    owner_pid_ = (code & LOCK_UN) ? 0 : me;
    return true;
}

Flock Flock::open_path(const std::string& path, mode_t permissions) {
    Fd::UniqueFd fd;
    if (!Open::sysopen_with_real_perms(fd, path, O_WRONLY | O_APPEND | O_CREAT, permissions)) {
        throw Exception::create(
            "Io::OpenFailed",
            Exception::Metadata{{"mode", ">>"}, {"path", path}, {"error", errno}});
    }
    return Flock(std::move(fd));
}

std::optional<Flock> Flock::try_lock_path(const std::string& path, mode_t permissions) {
    Flock handle = open_path(path, permissions);
    if (!handle.flock({"EX", "NB"}))
        return std::nullopt;
    return handle;
}

void Flock::release() noexcept {
    // Only the process that locked may unlock: the lock lives in the open
    // file description a forked child shares, and LOCK_UN from the child
    // would drop the parent's lock. Closing the child's copy does not.
    if (owner_pid_ != 0 && owner_pid_ == ::getpid() && fd_) {
        const int saved = errno;
        if (::flock(fd_.get(), LOCK_UN) != 0) {
            std::fprintf(stderr, "Could not unlock descriptor %d: %s\n", fd_.get(),
                         std::strerror(errno));
        }
        errno = saved;
    }
    owner_pid_ = 0;
    fd_.reset();
}

}  // namespace Tavrel::Foundation::File
