#include "Tavrel/Foundation/LogCheck.h"

#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Foundation/Logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Tavrel::Foundation::LogCheck {

namespace {

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void write_stderr(const std::string& text) {
    std::string_view rest = text;
    while (!rest.empty()) {
        ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

bool logcheck() {
    const int saved = errno;
    bool ok = is_directory(LOG_DIR);
    if (!ok && ::mkdir(LOG_DIR.c_str(), 0700) == 0) {
        ::chmod(LOG_DIR.c_str(), 0700);  // exact mode whatever the umask
        ok = true;
    }
    if (!ok && errno == EEXIST) {
        ok = is_directory(LOG_DIR);  // made by someone else meanwhile?
        if (!ok)
            errno = ENOTDIR;
    }
    if (!ok) {
        write_stderr(Logger::find_progname() + ": cannot use the log directory " + LOG_DIR + ": " +
                     std::strerror(errno) + "\n");
    }
    errno = saved;
    return ok;
}

bool logcheck_writable() {
    const int saved = errno;
    const std::string path = LOG_DIR + "/.writable_check." + std::to_string(::getpid());
    Fd::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    const bool ok = static_cast<bool>(fd);
    if (ok)
        ::unlink(path.c_str());
    errno = saved;
    return ok;
}

}  // namespace Tavrel::Foundation::LogCheck
