#include "Tavrel/Foundation/LoadFile.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Foundation/IO/Flush.h"
#include "Tavrel/Foundation/LoadFile/ReadFast.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace Tavrel::Foundation::LoadFile {

namespace {

// Reads up to `limit` bytes (all when none); 0 or errno. Each read asks for
// what the file's size says is left (plus one byte, to see the end or a file
// that grew), or for a chunk that doubles from 4 KiB up to READ_CHUNK past
// that size or when it is unknown (/proc, pipes). A whole READ_CHUNK buffer
// for a pid file would cost more than the read: zero-filled memory the run
// never uses.
int read_into(int fd, std::string& out, std::optional<size_t> limit) {
    struct stat st;
    size_t hint = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        hint = static_cast<size_t>(st.st_size);
        out.reserve(limit ? std::min(*limit, hint) : hint);
    }
    for (;;) {
        const size_t have = out.size();
        size_t want = have < hint ? hint - have + 1
                                  : std::min(ReadFast::READ_CHUNK,
                                             std::max<size_t>(4096, have - hint));
        if (limit)
            want = std::min(want, *limit - out.size());
        if (want == 0)
            return 0;
        const size_t at = out.size();
        out.resize(at + want);
        ssize_t n = ::read(fd, out.data() + at, want);
        if (n < 0) {
            out.resize(at);
            if (errno == EINTR)
                continue;
            return errno;
        }
        out.resize(at + static_cast<size_t>(n));
        if (n == 0)
            return 0;
    }
}

// nullopt for a missing file when `missing_ok`; throws otherwise.
std::optional<std::string> load_impl(const std::string& path, off_t offset,
                                     std::optional<size_t> length, bool missing_ok) {
    const int saved = errno;
    int raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (raw < 0) {
        const int err = errno;
        if (err == ENOENT) {
            if (missing_ok) {
                errno = saved;
                return std::nullopt;
            }
            throw Exception::create("Io::NotFound",
                                    Exception::Metadata{{"path", path}, {"error", err}});
        }
        throw Exception::create("Io::OpenFailed",
                                Exception::Metadata{{"mode", "<"}, {"path", path}, {"error", err}});
    }
    Fd::UniqueFd fd(raw);
    if (offset != 0 && ::lseek(fd.get(), offset, SEEK_SET) == static_cast<off_t>(-1)) {
        throw Exception::create(
            "Io::SeekFailed",
            Exception::Metadata{
                {"path", path}, {"position", offset}, {"whence", SEEK_SET}, {"error", errno}});
    }
    std::string content;
    if (int err = read_into(fd.get(), content, length); err != 0) {
        throw Exception::create("Io::ReadFailed",
                                Exception::Metadata{{"path", path}, {"error", err}});
    }
    errno = saved;
    return content;
}

}  // namespace

std::string load(const std::string& path, off_t offset, std::optional<size_t> length) {
    return *load_impl(path, offset, length, false);
}

std::optional<std::string> load_if_exists(const std::string& path, off_t offset,
                                          std::optional<size_t> length) {
    return load_impl(path, offset, length, true);
}

std::optional<std::string> loadfile(const std::string& path, LoadOptions /*options*/) {
    const int saved = errno;
    Fd::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::optional<std::string> result;
    if (fd) {
        std::string content;
        if (read_into(fd.get(), content, std::nullopt) == 0)
            result = std::move(content);
    }
    errno = saved;
    return result;
}

std::optional<std::string> loadbinfile(const std::string& path) {
    return loadfile(path);
}

std::optional<std::vector<std::string>> loadfileasarrayref(const std::string& path) {
    auto content = loadfile(path);
    if (!content)
        return std::nullopt;
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content->size()) {
        size_t nl = content->find('\n', start);
        if (nl == std::string::npos)
            nl = content->size();
        lines.emplace_back(content->substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

bool slurpfile(int out_fd, const std::string& path) {
    auto content = loadfile(path);
    if (!content)
        return false;
    try {
        IO::Flush::write_all(out_fd, *content);
    } catch (...) {
        return false;
    }
    return true;
}

}  // namespace Tavrel::Foundation::LoadFile
