#include "Tavrel/Config/LoadConfig.h"

#include "Tavrel/Foundation/Poll.h"
#include "Tavrel/Foundation/Exception.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace Tavrel::Config::LoadConfig {

namespace {

std::string_view trim(std::string_view s) {
    const char* blanks = " \t\r\n\f\v";
    size_t a = s.find_first_not_of(blanks);
    if (a == std::string_view::npos)
        return {};
    size_t b = s.find_last_not_of(blanks);
    return s.substr(a, b - a + 1);
}

Result failure(int err, std::string text) {
    Result r;
    r.error_number = err;
    r.error = std::move(text);
    return r;
}

// Exclusive lock, waited for up to LOCK_TIMEOUT seconds.
bool lock_exclusive(Foundation::File::Flock& lock) {
    return Foundation::Poll::until([&] { return lock.flock({"EX", "NB"}); },
                                   {.within = LOCK_TIMEOUT, .every = LOCK_POLL_INTERVAL});
}

bool read_all(int fd, std::string& out) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

}  // namespace

TvConf parse(std::string_view text) {
    TvConf out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string_view line = text.substr(pos, nl == std::string_view::npos ? nl : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        line = trim(line);
        if (line.empty() || line.front() == '#')
            continue;
        size_t eq = line.find('=');
        std::string_view key = trim(line.substr(0, eq));
        if (key.empty())
            continue;
        std::string_view value = eq == std::string_view::npos ? "" : trim(line.substr(eq + 1));
        out[std::string(key)] = std::string(value);
    }
    return out;
}

Result load(const std::string& path, Options options) {
    bool keep = options.keep_locked_open || options.rw;
    int flags = (options.rw ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY;
    int raw = ::open(path.c_str(), flags);
    if (raw < 0) {
        int err = errno;
        return failure(err, "Cannot open " + path + ": " + std::strerror(err));
    }
    Foundation::File::Flock handle{Foundation::Fd::UniqueFd(raw)};
    bool locked = false;
    std::string lock_error;
    if (keep) {
        try {
            locked = lock_exclusive(handle);
            if (!locked) {
                // A holder that never lets go (a hung tool) must not stop every
                // reader: the settings are read without the lock, and the
                // caller is told so.
                lock_error = "Timed out waiting for the lock on " + path;
            }
        } catch (const Foundation::Exception& e) {
            return failure(e.error_number(), e.to_string_no_id());
        }
    }
    std::string text;
    struct stat st;
    if (::fstat(handle.fd(), &st) != 0 || !read_all(handle.fd(), text)) {
        int err = errno;
        return failure(err, "Cannot read " + path + ": " + std::strerror(err));
    }
    Result r;
    r.data = parse(text);
    r.mtime = st.st_mtime;
    if (locked)
        r.lock = std::move(handle);
    if (!lock_error.empty()) {
        r.error_number = EWOULDBLOCK;
        r.error = std::move(lock_error);
    }
    return r;
}

}  // namespace Tavrel::Config::LoadConfig
