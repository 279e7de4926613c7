#include "Tavrel/Foundation/Fd/Query.h"

#include "Tavrel/Foundation/PlainError.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace Tavrel::Foundation::Fd::Query {

bool is_a(int fd) {
    if (fd < 0)
        return false;
    const int saved = errno;
    const bool open = ::fcntl(fd, F_GETFD) != -1;
    errno = saved;
    return open;
}

bool are_same(int a, int b) {
    return a >= 0 && a == b;
}

fd_set to_bitmask(const std::vector<int>& fds) {
    fd_set set;
    FD_ZERO(&set);
    for (int fd : fds) {
        if (fd < 0 || fd >= FD_SETSIZE) {
            throw PlainError("Descriptor " + std::to_string(fd) + " cannot go in a select set");
        }
        FD_SET(fd, &set);
    }
    return set;
}

bool fill_standard_descriptors() {
    bool filled = true;
    for (int fd = 0; fd <= 2; ++fd) {
        if (is_a(fd))
            continue;
        // The lowest free number is this one, as every lower one is open.
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null != fd) {
            if (null >= 0)
                ::close(null);
            filled = false;
        }
    }
    return filled;
}

bool is_terminal(int fd) {
    return ::isatty(fd) == 1;
}

}  // namespace Tavrel::Foundation::Fd::Query
