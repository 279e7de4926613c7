// Tavrel::Init::SysV::Backend: the backend for services that
// systemd does not manage (and for runs started by init itself). It starts,
// restarts, reloads and stops a service by its init script or, for the
// panel's own daemons and services without a script, by its binary; every
// command runs through the startup-log launcher, so a failed start leaves
// exactly that start's output in the service's startup log.
//
//   Initd backend({.service = "cron"});          // init script found on first use
//   if (!backend.start(svc)) ...;                // false: nothing ran, or it failed
//   backend.stop(svc);                           // always true; see below
//
// stop escalates: the orderly stop command; then the pid file's process,
// signalled TERM through a pidfd and waited for (PIDFILE_WAIT_TIME, a zombie
// counts as gone), then KILL when it ignored TERM (a stop that leaves the
// daemon running would be reported as done); when that did not end it, the
// leftover processes by the service's rules; then the processes on the
// service's ports. The pid file's process is judged once, by
// pidfile_process (PidfileProcess.h, over Tavrel::Process::PidFile::Judge), for the
// signal as for the wait after an orderly stop: a pid file naming this run's
// ancestry, a reused pid or another user's process is neither signalled nor
// waited for.
#pragma once

#include "Tavrel/Process/Kill/Target.h"
#include "Tavrel/Init/Backend.h"

#include <optional>
#include <string>
#include <vector>

namespace Tavrel::Init::SysV {

class Backend : public Init::Backend {
  public:
    // How long stop waits for the pid file's process after TERM, and how
    // often it looks.
    static inline double PIDFILE_WAIT_TIME = 30;
    static inline double PIDFILE_POLL_INTERVAL = 0.2;
    // A process still there after PIDFILE_WAIT_TIME gets SIGKILL and this
    // long to go.
    static inline double KILL_WAIT_TIME = 5;
    // How often the stop looks whether the daemon an orderly stop told to end
    // has gone.
    static inline double GONE_POLL_INTERVAL = 0.02;
    // Action words given to init scripts; restart runs the start action too.
    static inline std::string START_ACTION = "start";
    static inline std::string STOP_ACTION = "stop";
    static inline std::string RELOAD_ACTION = "reload";


    struct Options {
        std::string service;
        // Unset: the service's init script, looked up on first use.
        std::optional<std::string> init_script = std::nullopt;
        // Start, restart and reload replace the last startup log.
        bool wipe_startup_log = true;
        bool this_process_was_executed_by_systemd = false;
        // The run was started by init: a daemon of a unit of systemd's is
        // launched in place of this process (see logged_startup).
        bool started_by_init = false;
    };

    explicit Backend(Options options);

    std::string class_name() const override { return "Tavrel::ServiceManager::Manager::Initd"; }

    const std::string& service() const { return service_; }
    void set_service(std::string service) { service_ = std::move(service); }
    // The init script to run; empty when the service has none.
    std::string init_script() override;
    void set_init_script(std::string path) { init_script_ = std::move(path); }
    bool wipe_startup_log() const { return wipe_startup_log_; }
    void set_wipe_startup_log(bool wipe) { wipe_startup_log_ = wipe; }
    bool this_process_was_executed_by_systemd() const override { return executed_by_systemd_; }
    void set_this_process_was_executed_by_systemd(bool yes) { executed_by_systemd_ = yes; }

    // True when the command ran and exited 0; false when it failed or when
    // nothing could be launched.
    bool start(Service& svc) override;
    std::optional<bool> restart(Service& svc) override;
    // Runs the script's reload action; true without doing anything when the
    // service has no init script.
    std::optional<bool> reload(Service& svc) override;
    // Always true: what was stopped is reported through messages.
    bool stop(Service& svc) override;
    // A reload without an init script does nothing.
    bool has_operation(std::string_view operation) override {
        return operation == "restart" || (operation == "reload" && !init_script().empty());
    }

  protected:
    // The default init script: the one found for the service, or "".
    virtual std::string _build_init_script();

  private:
    // Runs `command` through the launcher and waits, at most the service's
    // command_timeout: its wait status, or nothing when no process was
    // launched. A command that outlives the bound is ended with its process
    // group and Services::CommandTimedOut is thrown, so the run fails.
    std::optional<int> launch(Service& svc, const std::vector<std::string>& command, bool wipe);
    // The pid-file step of stop: true when the pid file's process was
    // signalled and has gone.
    bool stop_by_pidfile(Service& svc);
    // Polls until the process has ended (a zombie has); false on time-out.
    static bool wait_until_gone(const Process::Kill::Target& process, double seconds);

    std::string service_;
    std::optional<std::string> init_script_;
    bool wipe_startup_log_;
    bool executed_by_systemd_;
    bool started_by_init_;
};

}  // namespace Tavrel::Init::SysV
