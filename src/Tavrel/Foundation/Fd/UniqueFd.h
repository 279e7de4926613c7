// Tavrel::Foundation::Fd::UniqueFd: an owned file descriptor, closed when dropped.
// The one RAII descriptor type of the library; -1 means "none".
//
//   Tavrel::Foundation::Fd::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
//   if (!fd) throw ...;
//   ::read(fd.get(), buf, n);
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace Tavrel::Foundation::Fd {

class UniqueFd final {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }
    // Closes the held descriptor (keeping errno) and takes `fd` instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace Tavrel::Foundation::Fd
