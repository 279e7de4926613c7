#include "Tavrel/Service/Hot.h"

#include "Tavrel/Foundation/Poll.h"
#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Process/Proc/PID.h"
#include "Tavrel/Process/PidFile/Judge.h"
#include "Tavrel/Process/PidFile.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace Tavrel::Service {

namespace {

using Clock = std::chrono::steady_clock;

struct PidFileState {
    bool present = false;
    off_t size = 0;
    time_t mtime = 0;
};

PidFileState look(const std::string& path) {
    PidFileState s;
    struct stat st {};
    // A symbolic link is not a pid file: it is never followed.
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        s.present = true;
        s.size = st.st_size;
        s.mtime = st.st_mtim.tv_sec;
    }
    return s;
}

// A change watch on the directory of the pid file: daemons rewrite pid files
// in place or by renaming a new file over the old one, and only a watch on
// the directory sees both.
Foundation::Fd::UniqueFd watch_directory_of(const std::string& path, std::string& error) {
    Foundation::Fd::UniqueFd fd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!fd) {
        error = std::strerror(errno);
        return fd;
    }
    std::string dir = std::filesystem::path(path).parent_path().string();
    if (dir.empty())
        dir = ".";
    if (::inotify_add_watch(fd.get(), dir.c_str(),
                            IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_ATTRIB) < 0) {
        error = std::strerror(errno);
        fd.reset();
    }
    return fd;
}

// Waits until `fd` has events or `seconds` have passed; the events are read
// and dropped (the watch only cuts the pause short, the file itself is looked
// at afterwards).
void wait_for_change(int fd, double seconds) {
    if (fd < 0) {
        Foundation::Poll::pause_for(seconds);
        return;
    }
    struct pollfd p {fd, POLLIN, 0};
    int r = ::poll(&p, 1, std::max(0, static_cast<int>(seconds * 1000)));
    if (r > 0) {
        alignas(struct inotify_event) char buffer[4096];
        while (::read(fd, buffer, sizeof buffer) > 0) {
        }
    }
}

}  // namespace

bool Hot::set_attribute(std::string_view name, const nlohmann::json& value) {
    if (name == "is_graceful_restart_enabled") {
        if (value.is_boolean())
            set_is_graceful_restart_enabled(value.get<bool>());
        else if (value.is_number())
            set_is_graceful_restart_enabled(value.get<double>() != 0);
        else if (value.is_string() && (value == "0" || value == "1"))
            set_is_graceful_restart_enabled(value == "1");
        else
            throw Foundation::Exception::create("Param::Invalid",
                                    {{"name", std::string(name)}, {"value", value.dump()}});
        return true;
    }
    return Base::set_attribute(name, value);
}

std::vector<std::string> Hot::attribute_names() const {
    auto names = Base::attribute_names();
    names.emplace_back("is_graceful_restart_enabled");
    return names;
}

std::optional<std::string> Hot::_read_pid_from_pidfile() {
    auto text = Process::PidFile::read_pidfile(pidfile());
    if (!text)
        return std::nullopt;
    std::string line = text->substr(0, text->find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

bool Hot::_is_trusted_pid(pid_t pid) {
    const auto verdict = Process::PidFile::Judge::judge(
        pidfile(), {.program = pid_exe(), .binary = service_binary(), .owner = processowner()});
    if (verdict.confirmed() && verdict.pid() == pid)
        return true;
    if (!verdict.confirmed())
        warn("The service " + service_name() + ": " + verdict.reason + " It is not signalled.");
    return false;
}

int Hot::_send_usr1(pid_t pid) {
    if (!_is_trusted_pid(pid))
        return 0;
    // Held by a pidfd from here on, so a pid reused meanwhile is never hit.
    Foundation::Fd::UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!pidfd)
        return 0;
    try {
        if (!Process::Proc::PID(pid).is_running())
            return 0;
    } catch (const std::exception&) {
        return 0;
    }
    if (::syscall(SYS_pidfd_send_signal, pidfd.get(), SIGUSR1, nullptr, 0) != 0)
        return 0;
    return 1;
}

std::optional<bool> Hot::restart_gracefully() {
    if (!is_graceful_restart_enabled()) {
        debug("Graceful restart is switched off for " + service_name());
        return false;
    }
    std::string path = pidfile();
    if (path.empty())
        return false;
    PidFileState state = look(path);
    if (!state.present || state.size == 0)
        return false;

    time_t before = state.mtime;
    time_t now = ::time(nullptr);
    if (before == now) {
        before = now - BACKDATE_SECONDS;
        struct timespec times[2] = {{before, 0}, {before, 0}};
        // Never through a link: whoever owns the pid file's directory could
        // point one at any file of root's.
        ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }

    // A number too large for a pid names nothing, as 0 does.
    std::optional<std::string> text = _read_pid_from_pidfile();
    const std::optional<pid_t> named = text ? Process::PidFile::pid_from_text(*text) : std::nullopt;
    if (!named)
        return false;
    const pid_t pid = *named;

    std::string error;
    Foundation::Fd::UniqueFd watch = watch_directory_of(path, error);
    if (!watch)
        warn("The system could not watch the pid file " + path + " of " + service_name() + ": " +
             error);

    if (_send_usr1(pid) == 0)
        return false;

    // The passes are bounded by their total time: a watch that wakes a pass
    // early (another file of the directory changed) must not shorten the wait.
    const double limit = GRACEFUL_PASSES * GRACEFUL_PASS_WAIT;
    const auto start = Clock::now();
    const int marker_every = std::max(1, static_cast<int>(0.5 / GRACEFUL_PASS_WAIT));
    for (int pass = 1;; ++pass) {
        double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed >= limit)
            break;
        if (verbose() == 1 && (pass - 1) % marker_every == 0)
            output_partial(PROGRESS_MARKER);
        wait_for_change(watch.get(), std::min(GRACEFUL_PASS_WAIT, limit - elapsed));
        PidFileState now_state = look(path);
        if (now_state.present && now_state.size > 0 && now_state.mtime != 0 &&
            now_state.mtime != before) {
            if (verbose() == 2)
                output("The service " + service_name() + " rewrote its pid file.");
            return true;
        }
        if (pass == 1 && verbose() == 2)
            output("Waiting for " + service_name() + " to rewrite its pid file " + path + ".");
    }
    if (verbose() != 0)
        output("The graceful restart of " + service_name() + " did not complete.");
    return false;
}

}  // namespace Tavrel::Service
