#include "Tavrel/Foundation/LoadFile/ReadFast.h"

#include "Tavrel/Foundation/PlainError.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Tavrel::Foundation::LoadFile::ReadFast {

namespace {

[[noreturn]] void fail(int fd, int err) {
    throw PlainError("Could not read from descriptor " + std::to_string(fd) + ": " +
                     std::strerror(err));
}

}  // namespace

int read_once(int fd, std::string& buffer, size_t length, size_t offset, size_t& bytes_read) {
    if (buffer.size() < offset)
        buffer.resize(offset, '\0');
    buffer.resize(offset + length);
    for (;;) {
        ssize_t n = ::read(fd, buffer.data() + offset, length);
        if (n >= 0) {
            bytes_read = static_cast<size_t>(n);
            buffer.resize(offset + bytes_read);
            return 0;
        }
        if (errno != EINTR) {
            const int err = errno;
            buffer.resize(offset);
            return err;
        }
    }
}

size_t read_fast(int fd, std::string& buffer, size_t length, size_t offset) {
    const int saved = errno;
    size_t bytes_read = 0;
    if (int err = read_once(fd, buffer, length, offset, bytes_read); err != 0)
        fail(fd, err);
    errno = saved;
    return bytes_read;
}

size_t read_all_fast(int fd, std::string& buffer) {
    const size_t start = buffer.size();
    while (read_fast(fd, buffer, READ_CHUNK, buffer.size()) > 0) {
    }
    return buffer.size() - start;
}

}  // namespace Tavrel::Foundation::LoadFile::ReadFast
