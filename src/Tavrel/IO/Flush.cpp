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

void write_all(int fd, std::string_view data) {
    const int saved = errno;
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (int err = wait_writable(fd); err != 0)
                    fail(data.size(), err);
                continue;
            }
            fail(data.size(), errno);
        }
        if (n == 0) {
            throw PlainError("write to descriptor " + std::to_string(fd) +
                             " made no progress with " + std::to_string(data.size()) +
                             " bytes left");
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    errno = saved;
}

}  // namespace Tavrel::IO::Flush
