#include "Tavrel/Process/PidFile.h"

#include "Tavrel/Foundation/ErrnoGuard.h"
#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Process/Proc/PID.h"
#include "Tavrel/Foundation/Text/Digits.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string>

namespace Tavrel::Process::PidFile {

std::optional<std::string> read_pidfile(const std::string& path, struct stat* status) {
    // Opening does not block (a FIFO would), does not take a terminal, and
    // does not follow a symbolic link: whoever owns the pid file's directory
    // could point one at /dev/zero or at a file of root's.
    Foundation::Fd::UniqueFd fd(
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    if (!fd)
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return std::nullopt;
    if (status)
        *status = st;
    if (!S_ISREG(st.st_mode))
        return std::string();
    std::string text(PIDFILE_READ_LIMIT, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    return text;
}

std::optional<pid_t> pid_from_text(std::string_view text) {
    std::string_view line = text.substr(0, text.find('\n'));
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return std::nullopt;
    line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
    if (!Foundation::Text::all_digits(line) || line.size() > 9)
        return std::nullopt;
    const pid_t pid = static_cast<pid_t>(std::stol(std::string(line)));
    return pid > 1 ? std::optional<pid_t>(pid) : std::nullopt;
}

std::optional<pid_t> leading_pid_from_text(std::string_view text) {
    std::size_t i = text.find_first_not_of(" \t");
    if (i == std::string_view::npos)
        return std::nullopt;
    long long value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        value = value * 10 + (text[i] - '0');
        if (value > std::numeric_limits<pid_t>::max())
            return std::nullopt;
    }
    if (digits == 0 || value <= 1)
        return std::nullopt;
    return static_cast<pid_t>(value);
}

std::optional<pid_t> is_pidfile_running(const std::string& path) {
    Foundation::ErrnoGuard keep_errno;
    auto text = read_pidfile(path);
    if (!text)
        return std::nullopt;
    auto pid = pid_from_text(*text);
    if (!pid)
        return std::nullopt;
    try {
        if (Proc::PID(*pid).is_running())
            return pid;
    } catch (const std::exception&) {
        // The process has gone (or never was): not running.
    }
    return std::nullopt;
}

}  // namespace Tavrel::Process::PidFile
