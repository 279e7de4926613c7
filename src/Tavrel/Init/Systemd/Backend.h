// Tavrel::Init::Systemd::Backend: the backend of a service that has
// a usable systemd unit. Every operation runs systemctl on the unit
// "<service>.service"; its exit status is the answer.
//
//   if (auto props = Tavrel::Init::Systemd::Systemctl::has_service_via_systemd("cron")) {
//       Systemd backend({.service = "cron", .service_via_systemd = *props});
//       backend.start(svc);                  // systemctl restart: starts or restarts
//       std::string text = *backend.status_helper(svc);   // empty: not running
//   }
//
// Construction refuses a run started by init: a run that systemd itself
// started (as a unit's start or stop command) must not call back into
// systemctl for the same unit. The property map is the snapshot taken when the backend was
// chosen; only is_active compares it with what systemctl says now.
//
// A look is not asked twice in a row: a snapshot its creator marks as just
// taken (`snapshot_is_current`) answers the first is_active itself, and a look
// that found the unit active answers the following ones too, as long as they
// come within SNAPSHOT_FRESH_SECONDS and before the backend acts on the unit.
// A `--status` then costs one systemctl run, and the stop of a restart does
// not ask again what the restart's status check has just been told. A look
// that found the unit not active answers once: a wait polls until it changes.
//
// There is no restart: the service core restarts a systemd service as a stop
// followed by its own start sequence. systemctl failures are results (false,
// an empty status), each left as a message on the service.
//
// A systemctl that waits for a job (start, stop, reload, the stop of a
// socket) is ended at a bound: a definition's command_timeout, else the
// unit's own time-outs for the job plus a margin (Systemctl::call_bound).
// That ends the run: the call throws the failure of its action
// (Services::StartError, StopError, ReloadError) saying what state the unit
// is in; systemd goes on with the job.
#pragma once

#include "Tavrel/Init/Backend.h"
#include "Tavrel/Init/Systemd/Systemctl.h"
#include "Tavrel/Run/SafeRun/Object.h"

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Init::Systemd {

// The systemctl the backend runs: the unit library's setting under the
// backend's own name, so the two can never disagree.
inline std::string& gl_systemctl_binary = Systemctl::SYSTEMCTL;

// When the captured and the fresh answers of is_active disagree, it looks
// this many more times, pausing this many seconds before each look.
inline int IS_ACTIVE_CONFIRMATIONS = 2;
inline double IS_ACTIVE_CONFIRM_INTERVAL = 1.0;
// How long a snapshot marked as just taken, or a look that found the unit
// active, may stand for a look of is_active.
inline double SNAPSHOT_FRESH_SECONDS = 0.5;

class Backend final : public Init::Backend {
  public:
    struct Options {
        std::string service{};               // the unit's base name
        UnitProperties service_via_systemd{};  // captured when the backend was chosen
        bool this_process_was_executed_by_systemd = false;
        // The snapshot was taken just now (it holds ActiveState and MainPID).
        bool snapshot_is_current = false;
        // The run was started by init (RunOptions::started_by_init).
        bool started_by_init = false;
    };

    // Throws Tavrel::Foundation::PlainError naming the service for a run started by init.
    explicit Backend(Options options);

    std::string class_name() const override { return "Tavrel::ServiceManager::Manager::Systemd"; }

    // systemctl restart: starts a stopped unit, restarts a running one.
    bool start(Service& svc) override;
    bool stop(Service& svc) override { return stop(svc, Systemctl::SERVICE_TYPE); }
    // Stops "<service>.<unit_type>" (a socket unit that would start it again, say).
    bool stop(Service& svc, std::string_view unit_type);
    std::optional<bool> reload(Service& svc) override;
    bool has_operation(std::string_view operation) override { return operation == "reload"; }
    // Stops the active socket units that would start the service again at
    // the next connection (rsyslog's syslog.socket, say): without that, a
    // stopped service is back as soon as something talks to it. A socket the
    // service requires comes back with the service's next start, because
    // systemd starts what a unit requires.
    std::optional<bool> stop_triggers(Service& svc) override;
    // Any state but inactive and failed, looked at now: a unit still
    // starting (activating) or waiting to be started again by systemd
    // (activating, auto-restart) does not count as up, yet a stop must end it.
    bool is_under_way(Service& svc) override;
    bool starts_services_by_itself() const override { return true; }
    // Before the first attempt, ends the service's leftover processes (its
    // doomed rules) so that systemd starts from a clean slate. Always true.
    std::optional<bool> restart_attempt(Service& svc, int attempt) override;
    // The status text: empty when the service is not running.
    std::optional<std::string> status_helper(Service& svc) override;
    // NRestarts and MainPID of the unit, in one look, which also answers the
    // next is_active (still confirmed when it disagrees with the captured state).
    std::optional<StartMarks> start_marks(Service& svc) override;
    // True once the unit is inactive or failed: systemd neither runs nor
    // starts it (a unit that systemd will restart is "activating").
    std::optional<bool> start_is_over(Service& svc) override;
    // systemd refuses every start of a unit started more often than its
    // start limit allows (StartLimitBurst within StartLimitIntervalSec); the
    // end of that interval, or `systemctl reset-failed`, lifts the refusal.
    std::string start_refusal_hint(Service& svc) override;
    bool knows_the_services_processes() const override { return true; }
    // The unit's state, main process and kill mode, and the processes of its
    // control group read where systemctl status reads them: one systemctl run.
    std::optional<Remains> remains(Service& svc) override;
    // A masked unit: systemd starts it for nobody until it is unmasked.
    std::string start_blocker() const override;

    // Whether the unit is active, confirmed over IS_ACTIVE_CONFIRMATIONS more
    // looks when systemctl now disagrees with the captured state.
    bool is_active(Service& svc);
    // Whether systemctl says the unit is active now (active or reloading, as
    // systemctl is-active counts). The same look reads the main pid, which
    // status_helper then uses instead of asking again.
    bool _systemctl_is_active();

    bool this_process_was_executed_by_systemd() const override { return executed_by_systemd_; }
    void set_this_process_was_executed_by_systemd(bool value) { executed_by_systemd_ = value; }
    const std::string& service() const { return service_; }
    void set_service(std::string service) { service_ = std::move(service); }
    std::optional<UnitProperties> service_via_systemd() const override { return props_; }
    void set_service_via_systemd(UnitProperties props) {
        props_ = std::move(props);
        look_reusable_ = false;
    }

    // "<service>.service".
    std::string unit() const;

  private:
    // The bound of a call whose job runs the unit's `timeout_keys` in turn.
    double bound_for(Service& svc, const std::vector<std::string>& timeout_keys) const;
    // systemctl with `args`, ended after `bound` seconds: its run. Both
    // streams go to `sink` when one is given. At the bound it throws
    // Services::<failure_type>, saying that `doing` `unit` did not finish
    // and what state the unit is in.
    Run::SafeRun::Object bounded_call(Service& svc, std::vector<std::string> args, double bound,
                     std::string_view doing, const std::string& unit,
                     std::string_view failure_type, std::ostream* sink = nullptr);
    // Lets the last look answer the next is_active.
    void keep_look();
    // Whether the last look may answer this is_active (see above).
    bool reuse_last_look();

    std::string service_;
    UnitProperties props_;
    UnitProperties last_look_;  // of _systemctl_is_active, or the snapshot
    bool executed_by_systemd_ = false;
    bool look_reusable_ = false;  // cleared by any action
    // Whether the last look has been confirmed as is_active confirms one that
    // disagrees with the captured state; a look taken for another question
    // (the start's marks) has not.
    bool look_confirmed_ = true;
    std::chrono::steady_clock::time_point look_taken_;
};

}  // namespace Tavrel::Init::Systemd
