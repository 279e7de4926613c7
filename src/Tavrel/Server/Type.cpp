#include "Tavrel/Server/Type.h"

#include "Tavrel/Foundation/PlainError.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace Tavrel::Server::Type {

int is_zoneonly() {
    if (ZONEONLY_OVERRIDE)
        return *ZONEONLY_OVERRIDE ? 1 : 0;
    struct stat st;
    if (::stat(ZONEONLY_FILE.c_str(), &st) == 0)
        return 1;
    int err = errno;
    if (err == ENOENT)
        return 0;
    throw Foundation::PlainError("Cannot tell whether this is a DNS-only server: " + ZONEONLY_FILE + ": " +
                     std::strerror(err));
}

}  // namespace Tavrel::Server::Type
