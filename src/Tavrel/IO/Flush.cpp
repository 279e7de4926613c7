#include "Tavrel/IO/Flush.h"

#include "Tavrel/Exception.h"
#include "Tavrel/PlainError.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace Tavrel::IO::Flush {

namespace {

// Waits until a non-blocking descriptor can take more; returns 0 or errno.
int wait_writable(int fd) {
    struct pollfd p = {fd, POLLOUT, 0};
    while (::poll(&p, 1, -1) < 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

[[noreturn]] void fail(size_t left, int err) {
    throw Exception::create("Io::WriteFailed",
                            Exception::Metadata{{"length", left}, {"error", err}});
}

}  // namespace

namespace {

// The loop itself: 0 when everything was written, else the errno that stopped
// it, with `data` left holding what was not written.
int write_loop(int fd, std::string_view& data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (int err = wait_writable(fd); err != 0)
                    return err;
                continue;
            }
            return errno;
        }
        if (n == 0) {
            throw PlainError("write to descriptor " + std::to_string(fd) +
                             " made no progress with " + std::to_string(data.size()) +
                             " bytes left");
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

}  // namespace

void write_all(int fd, std::string_view data) {
    const int saved = errno;
    if (int err = write_loop(fd, data); err != 0)
        fail(data.size(), err);
    errno = saved;
}

bool try_write_all(int fd, std::string_view data) noexcept {
    if (fd < 0)
        return false;
    const int saved = errno;
    bool ok = false;
    try {
        ok = write_loop(fd, data) == 0;
    } catch (...) {
        ok = false;
    }
    errno = saved;
    return ok;
}

}  // namespace Tavrel::IO::Flush
