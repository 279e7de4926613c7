#include "Tavrel/LoadFile/ReadFast.h"

#include "Tavrel/PlainError.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Tavrel::LoadFile::ReadFast {

namespace {

[[noreturn]] void fail(int fd, int err) {
    throw PlainError("Could not read from descriptor " + std::to_string(fd) + ": " +
                     std::strerror(err));
}

}  // namespace

size_t read_fast(int fd, std::string& buffer, size_t length, size_t offset) {
    const int saved = errno;
    if (buffer.size() < offset)
        buffer.resize(offset, '\0');
    buffer.resize(offset + length);
    for (;;) {
        ssize_t n = ::read(fd, buffer.data() + offset, length);
        if (n >= 0) {
            buffer.resize(offset + static_cast<size_t>(n));
            errno = saved;
            return static_cast<size_t>(n);
        }
        if (errno != EINTR) {
            const int err = errno;
            buffer.resize(offset);
            fail(fd, err);
        }
    }
}

size_t read_all_fast(int fd, std::string& buffer) {
    const size_t start = buffer.size();
    while (read_fast(fd, buffer, READ_CHUNK, buffer.size()) > 0) {
    }
    return buffer.size() - start;
}

}  // namespace Tavrel::LoadFile::ReadFast
