#include "Tavrel/Foundation/Fd/Autoflush.h"

#include "Tavrel/Foundation/Autodie.h"

#include <fcntl.h>

namespace Tavrel::Foundation::Fd::Autoflush {

bool enable(int fd) {
    // Raw descriptors are never buffered in user space; only check it is open.
    Autodie::fcntl(fd, F_GETFD);
    return true;
}

}  // namespace Tavrel::Foundation::Fd::Autoflush
