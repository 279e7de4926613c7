// Tavrel::Service::RunSignals: what signals from outside do to a run. A
// run must never end between a service's stop and its start: the daemon
// would stay down until someone noticed.
//
//   RunSignals::install();                       // once, before any work
//   {
//       RunSignals::HoldEndingSignals hold("crond");   // the stop begins
//       srv.stop();
//       srv.start();
//   }   // a TERM that came meanwhile ends the run here, with 143
//
// For the whole run:
//   - SIGPIPE and SIGHUP are ignored: a reader that goes away or a terminal
//     that hangs up (an SSH session that drops) cannot end it; writes then
//     fail and are dropped.
//   - SIGTERM ends it at once with TERM_EXIT_STATUS (143). SIGINT (Ctrl-C)
//     ends it at once by SIGINT itself, which a shell reports as 130, so a
//     script that ran the program stops as well.
// While a HoldEndingSignals lives, TERM and INT are held instead: the first
// is noted, and a second one (of either) ends the run at once. When the
// last hold goes, a held signal ends the run as it would have, after one
// line on standard error that names the service.
//
// Launched programs get every signal back at its default disposition
// (Tavrel::Run::SafeRun::reset_child_signals); an init script or a daemon is
// never held.
#pragma once

#include <string>

namespace Tavrel::Service::RunSignals {

inline int TERM_EXIT_STATUS = 143;
// What a shell reports for a run ended by SIGINT.
inline int INT_EXIT_STATUS = 130;

// Sets the dispositions above; may be called again.
void install();

class [[nodiscard]] HoldEndingSignals final {
  public:
    // `service` is named in the line written when a held signal ends the run.
    explicit HoldEndingSignals(std::string service);
    ~HoldEndingSignals();
    HoldEndingSignals(const HoldEndingSignals&) = delete;
    HoldEndingSignals& operator=(const HoldEndingSignals&) = delete;

  private:
    std::string service_;
};

// Once the run's work is over and only its result is left to write: TERM and
// INT no longer end it, so the exit status always agrees with the result
// record (a run ended by a signal writes none).
void work_is_over();

// The signal held so far (0 when none); for tests and messages.
int held_signal();

}  // namespace Tavrel::Service::RunSignals
