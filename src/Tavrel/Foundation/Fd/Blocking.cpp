#include "Tavrel/Foundation/Fd/Blocking.h"

#include "Tavrel/Foundation/Autodie.h"

#include <fcntl.h>

namespace Tavrel::Foundation::Fd::Blocking {

namespace {

bool set_flag(int fd, bool non_blocking) {
    const int flags = Autodie::fcntl(fd, F_GETFL);
    const int wanted = non_blocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted != flags)
        Autodie::fcntl(fd, F_SETFL, wanted);
    return true;
}

}  // namespace

bool set_non_blocking(int fd) {
    return set_flag(fd, true);
}

bool set_blocking(int fd) {
    return set_flag(fd, false);
}

bool is_set_to_block(int fd) {
    return (Autodie::fcntl(fd, F_GETFL) & O_NONBLOCK) == 0;
}

}  // namespace Tavrel::Foundation::Fd::Blocking
