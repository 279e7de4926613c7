// Tavrel::Run::SafeRun::SignalGuard: gives one signal a disposition for the life of
// the guard and restores the previous one on scope exit, also while an
// exception unwinds.
//
//   Tavrel::Run::SafeRun::SignalGuard no_sigpipe(SIGPIPE, SIG_IGN);   // writes get EPIPE
//   Tavrel::Run::SafeRun::SignalGuard reapable(SIGCHLD, SIG_DFL);     // waitpid sees our child
#pragma once

#include <csignal>

namespace Tavrel::Run::SafeRun {

class [[nodiscard]] SignalGuard final {
  public:
    SignalGuard(int signo, sighandler_t handler) : signo_(signo) {
        struct sigaction want {};
        want.sa_handler = handler;
        sigemptyset(&want.sa_mask);
        active_ = ::sigaction(signo, &want, &saved_) == 0;
    }
    ~SignalGuard() {
        if (active_)
            ::sigaction(signo_, &saved_, nullptr);
    }
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

  private:
    int signo_;
    struct sigaction saved_ {};
    bool active_ = false;
};

}  // namespace Tavrel::Run::SafeRun
