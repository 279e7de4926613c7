#include "Tavrel/Service/RunSignals.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace Tavrel::Service::RunSignals {

namespace {

// Read by the handler; changed only with TERM and INT blocked.
volatile sig_atomic_t hold_depth = 0;
volatile sig_atomic_t held = 0;

sigset_t ending_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

// Async-signal-safe: ends the process as `signo` ends a run.
[[noreturn]] void end_run_by(int signo) {
    if (signo == SIGINT) {
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        ::sigaction(SIGINT, &dfl, nullptr);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
        ::kill(::getpid(), SIGINT);
        ::_exit(INT_EXIT_STATUS);
    }
    ::_exit(TERM_EXIT_STATUS);
}

void on_ending_signal(int signo) {
    if (hold_depth > 0 && held == 0) {
        held = signo;
        return;
    }
    end_run_by(signo);
}

// Blocks TERM and INT for the life of the guard, so the hold's counters
// never change under the handler.
class BlockEnding final {
  public:
    BlockEnding() {
        const sigset_t set = ending_signals();
        ::sigprocmask(SIG_BLOCK, &set, &saved_);
    }
    ~BlockEnding() { ::sigprocmask(SIG_SETMASK, &saved_, nullptr); }
    BlockEnding(const BlockEnding&) = delete;
    BlockEnding& operator=(const BlockEnding&) = delete;

  private:
    sigset_t saved_;
};

void write_stderr(const std::string& text) {
    (void)!::write(STDERR_FILENO, text.data(), text.size());
}

}  // namespace

void install() {
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = on_ending_signal;
    sa.sa_mask = ending_signals();
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}

void work_is_over() {
    ::signal(SIGTERM, SIG_IGN);
    ::signal(SIGINT, SIG_IGN);
}

int held_signal() {
    return held;
}

HoldEndingSignals::HoldEndingSignals(std::string service) : service_(std::move(service)) {
    BlockEnding block;
    hold_depth = hold_depth + 1;
}

HoldEndingSignals::~HoldEndingSignals() {
    int signo = 0;
    {
        BlockEnding block;
        hold_depth = hold_depth - 1;
        if (hold_depth == 0) {
            signo = held;
            held = 0;
        }
        if (signo != 0) {
            // Said while TERM and INT are still blocked: a second one waits
            // until the line is out.
            write_stderr(std::string("The run got SIG") + (signo == SIGINT ? "INT" : "TERM") +
                         " while “" + service_ +
                         "” was being restarted; it ended once the service's start had been "
                         "tried.\n");
        }
    }
    if (signo != 0)
        end_run_by(signo);
}

}  // namespace Tavrel::Service::RunSignals
