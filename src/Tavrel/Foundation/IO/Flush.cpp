#include "Tavrel/Foundation/IO/Flush.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/PlainError.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>

namespace Tavrel::Foundation::IO::Flush {

namespace {

using Clock = std::chrono::steady_clock;

// What stopped the loop: nothing, a write error, a failed wait, or a wait
// that ran out of time.
struct Stop {
    enum Kind { None, WriteError, WaitError, TimedOut } kind = None;
    int error = 0;
};

// Waits until the descriptor can take more, at most `time_limit` seconds
// (0: without limit).
Stop wait_writable(int fd, double time_limit) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(time_limit);
    for (;;) {
        int ms = -1;
        if (time_limit > 0) {
            const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
            if (left <= 0)
                return {Stop::TimedOut, 0};
            ms = static_cast<int>(std::min(std::ceil(left * 1000), 2.0e9));
        }
        struct pollfd p = {fd, POLLOUT, 0};
        const int rc = ::poll(&p, 1, ms);
        if (rc > 0)
            return {};
        if (rc == 0)
            return {Stop::TimedOut, 0};
        if (errno != EINTR)
            return {Stop::WaitError, errno};
    }
}

bool is_blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) == 0;
}

// The loop itself, with `data` left holding what was not written.
Stop write_loop(int fd, std::string_view& data, double time_limit) {
    // A blocking write of more than the descriptor has room for would wait
    // in the kernel, out of our time limit's reach: with a limit, such a
    // descriptor is polled first and written in pieces it takes at once.
    const bool bounded_pieces = time_limit > 0 && is_blocking(fd);
    while (!data.empty()) {
        std::size_t piece = data.size();
        if (bounded_pieces) {
            if (Stop s = wait_writable(fd, time_limit); s.kind != Stop::None)
                return s;
            piece = std::min<std::size_t>(piece, PIPE_BUF);
        }
        ssize_t n = ::write(fd, data.data(), piece);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (Stop s = wait_writable(fd, time_limit); s.kind != Stop::None)
                    return s;
                continue;
            }
            return {Stop::WriteError, errno};
        }
        if (n == 0) {
            throw PlainError("write to descriptor " + std::to_string(fd) +
                             " made no progress with " + std::to_string(data.size()) +
                             " bytes left");
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return {};
}

}  // namespace

void write_all(int fd, std::string_view data, double time_limit) {
    const int saved = errno;
    const Stop s = write_loop(fd, data, time_limit);
    switch (s.kind) {
        case Stop::None:
            errno = saved;
            return;
        case Stop::TimedOut:
            throw Exception::create("Timeout", Exception::Metadata{{"timeout", time_limit}});
        case Stop::WaitError:
            throw Exception::create("Io::WaitFailed", Exception::Metadata{{"error", s.error}});
        case Stop::WriteError:
            break;
    }
    throw Exception::create("Io::WriteFailed",
                            Exception::Metadata{{"length", data.size()}, {"error", s.error}});
}

bool try_write_all(int fd, std::string_view data) noexcept {
    if (fd < 0)
        return false;
    const int saved = errno;
    bool ok = false;
    try {
        QuietSigpipe quiet;
        ok = write_loop(fd, data, 0).kind == Stop::None;
    } catch (...) {
        ok = false;
    }
    errno = saved;
    return ok;
}

bool append_record(int fd, std::string_view record, int* write_error) noexcept {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return try_write_all(fd, record);
    const int saved = errno;
    ssize_t n;
    do {
        n = ::write(fd, record.data(), record.size());
    } while (n < 0 && errno == EINTR);
    const bool ok = n == static_cast<ssize_t>(record.size());
    if (write_error)
        *write_error = n < 0 ? errno : 0;
    if (n > 0 && !ok) {
        // The offset of an O_APPEND descriptor is the end of what it wrote.
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        if (end >= n && ::fstat(fd, &st) == 0 && st.st_size == end)
            (void)!::ftruncate(fd, end - n);
    }
    errno = saved;
    return ok;
}

QuietSigpipe::QuietSigpipe() noexcept {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    if (::pthread_sigmask(SIG_BLOCK, &pipe, &saved_) == 0)
        active_ = !sigismember(&saved_, SIGPIPE);
}

QuietSigpipe::~QuietSigpipe() {
    if (!active_)
        return;
    const int saved = errno;
    sigset_t pending;
    if (::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        const struct timespec now = {0, 0};
        while (::sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    errno = saved;
}

}  // namespace Tavrel::Foundation::IO::Flush
