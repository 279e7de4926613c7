#include "Tavrel/Process/Kill/Target.h"

#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Process/PsParser.h"
#include "Tavrel/Process/PsParser/Parse.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

namespace Tavrel::Process::Kill {

Target Target::open(pid_t pid) {
    if (pid <= 1)
        throw Foundation::PlainError("Refusing to signal process ID " + std::to_string(pid) + ".");
    int saved = errno;
    // pidfd_open descriptors are always close-on-exec.
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    bool gone = fd < 0 && errno == ESRCH;
    errno = saved;
    return Target(pid, Foundation::Fd::UniqueFd(fd), gone);
}

int Target::send(int signal) const {
    if (gone_)
        return ESRCH;
    int saved = errno;
    long rc = fd_ ? ::syscall(SYS_pidfd_send_signal, fd_.get(), signal, nullptr, 0)
                  : ::kill(pid_, signal);
    int err = rc == 0 ? 0 : errno;
    errno = saved;
    return err;
}

bool Target::alive() const {
    if (gone_)
        return false;
    int saved = errno;
    if (fd_) {
        // A pidfd becomes readable when its process ends (a zombie has ended).
        struct pollfd p {
            fd_.get(), POLLIN, 0
        };
        int r = ::poll(&p, 1, 0);
        errno = saved;
        if (r == 0)
            return true;
        if (r > 0)
            return false;
    }
    bool exists = ::kill(pid_, 0) == 0 || errno == EPERM;
    errno = saved;
    if (!exists)
        return false;
    auto text = Foundation::ProcFs::path(Foundation::ProcFs::PROC_PATH + "/" + std::to_string(pid_) + "/stat");
    if (!text)
        return true;
    auto state = PsParser::Parse::stat_state(*text);
    return !state || *state != 'Z';
}

void Target::reap() const {
    int saved = errno;
    if (fd_) {
        // Only ever reaps this very process, and only when it is our child.
        siginfo_t info{};
        ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(fd_.get()), &info,
                 WEXITED | WNOHANG);
    } else {
        int status = 0;
        ::waitpid(pid_, &status, WNOHANG);
    }
    errno = saved;
}

}  // namespace Tavrel::Process::Kill
