// Tavrel::Service::Base: the common service class. One object describes
// one service (names, binary, pid file, ports, owner, arguments, time-outs,
// flags), owns its init-system backend, its run lock, its logger and its output
// object for the length of a run, and carries the lifecycle operations
// (start, stop, restart, reload), the status checks and the clean-ups.
//
//   auto srv = Base::create<Base>({{"service", "crond"}, {"verbose", 1}});
//   srv->restart();                        // the status text, or throws
//   std::string text = srv->status();      // throws Services::IsDown when down
//
// Attributes. Each attribute x has an accessor x(), a setter set_x(v) and,
// for the computed ones, a virtual _build_x() that gives the default; a
// per-service class overrides _build_x(). A value given by a setter, by
// set_attribute("x", json) or as a construction option wins over the builder.
// Values are computed on first read and kept.
//
// Construction goes through create<T>(options): the object is made, the
// options are applied by name (unknown names are ignored), then BUILD() runs,
// which sets PATH and takes the run lock. (Virtual builders cannot run from a
// constructor, hence the two steps.) The lock is released when the object is
// destroyed in the process that built it; a forked child never releases it.
//
// Optional hooks of a service class (start_check, stop_check, restart_check,
// restart_attempt, restart_gracefully, pidfile_precheck) are virtuals whose
// default answers std::nullopt, meaning "this class has no such hook".
//
// Failures of the service are Tavrel::Foundation::Exception of the Services family
// (Disabled, NotConfigured, NotInstalled, IsDown, StartError, StopError,
// RestartError, ReloadError, BinaryNotFound, RoleNotAllowed), each naming the
// service.
#pragma once

#include "Tavrel/Config/LoadTvConf.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Service/Copies.h"
#include "Tavrel/Init/Backend.h"
#include "Tavrel/Init/RunOptions.h"
#include "Tavrel/Init/Service.h"
#include "Tavrel/Service/Verb.h"
#include "Tavrel/Init/CheckService.h"
#include "Tavrel/Process/Kill/AppPort.h"

#include <nlohmann/json.hpp>
#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Tavrel::Output {
class Base;
}
namespace Tavrel::Foundation {
class Logger;
}

namespace Tavrel::Service {

class Lock;

namespace detail {
// A lazily filled attribute value.
template <class T>
class Lazy {
  public:
    template <class Build>
    const T& get(Build&& build) {
        if (!value_)
            value_.emplace(build());
        return *value_;
    }
    void set(T value) { value_ = std::move(value); }
    bool is_set() const { return value_.has_value(); }
    void reset() { value_.reset(); }

  private:
    std::optional<T> value_;
};
}  // namespace detail

class Base : public Tavrel::Init::Service {
  public:
    // --- Settings (tests shrink the time bounds) ---------------------------
    static inline std::string CLASS_NAME = "Tavrel::ServiceManager::Base";
    static inline std::string DEFAULT_PROCESSOWNER = "root";
    // The lock word of an object that has no service word yet.
    static inline std::string LOCK_FALLBACK_WORD = "unnamed-service";
    // systemd's sub-state of a unit that has no process left.
    static inline std::string SYSTEMD_DEAD_SUBSTATE = "dead";
    // The wait for a status text after a start, and its pause.
    static inline double STATUS_WAIT_LIMIT = 120;
    static inline double STATUS_POLL_INTERVAL = 0.05;
    // The pause while waiting for the pid file (the wait is startup_timeout).
    static inline double PIDFILE_POLL_INTERVAL = 0.05;
    // The first pause of those waits; each next one doubles, up to the
    // interval. What they wait for usually comes within milliseconds of a start.
    static inline double FIRST_POLL_PAUSE = 0.005;
    // How long a started daemon must stay up before its start counts, unless
    // the service says otherwise (start_settle): a daemon may fail after
    // going to the background (a configuration read late, a socket bound
    // after the fork). Every restart of a service without ports pays it, so
    // it is kept to a second.
    static inline double DEFAULT_START_SETTLE = 1.0;
    // How long after its init script or unit has finished a started
    // daemon may take to show a process before the start is over, and how
    // often the waits look meanwhile.
    static inline double START_GONE_GRACE = 1.0;
    static inline double START_GONE_POLL = 0.2;
    // How often the confirmation of a start looks at the daemon.
    static inline double START_CONFIRM_POLL = 0.05;
    // Reading the pid from the pid file.
    static inline int PID_READ_TRIES = 10;
    static inline double PID_READ_PAUSE = 0.1;
    // The file-creation mask set before a daemon is started.
    static inline mode_t START_UMASK = 022;
    // Seconds a service's configuration test may run before it counts as failed.
    static inline double CONFIG_TEST_TIMEOUT = 120;
    // Lines of a failed configuration test's output shown to the user.
    static inline size_t CONFIG_TEST_LINES_SHOWN = 10;
    // After a stop, how long the service may take to be seen gone (a stop
    // command may signal the daemon and return at once), and how often the
    // stop looks meanwhile.
    static inline double STOP_CONFIRM_WAIT = 5;
    static inline double STOP_CONFIRM_POLL = 0.05;
    // Copies of the daemon found without a pid file get TERM, this many
    // seconds, then KILL and as long again.
    static inline double COPIES_GRACE = 5;

    // Texts of the progress lines.
    static inline std::string SUCCESS_WORD = " done";
    static inline std::string FAILURE_WORD = " failed";
    static inline std::string PROGRESS_MARKER = ".";
    // The status text of a service whose state cannot be queried ({} is the
    // service); such a service always counts as up.
    static inline std::string NOT_CHECKABLE_STATUS =
        "The status of {} cannot be checked; it counts as running.";
    // is_up(via): the status text holds `via` followed by this pattern.
    static inline std::string IS_UP_VIA_SUFFIX = R"(\b)";

    // --- Construction -------------------------------------------------------
    Base();
    ~Base() override;
    Base(const Base&) = delete;
    Base& operator=(const Base&) = delete;

    // Makes a T, applies `options` (a JSON object, attribute name -> value;
    // unknown names are ignored), then runs BUILD.
    template <class T = Base, class... Args>
    static std::unique_ptr<T> create(const nlohmann::json& options = nlohmann::json::object(),
                                     Args&&... args) {
        auto object = std::make_unique<T>(std::forward<Args>(args)...);
        object->apply_options(options, /*ignore_unknown=*/true);
        object->BUILD();
        return object;
    }

    // Writes a debug line, sets the search path and takes the run locks
    // (the word's, then the daemon's).
    void BUILD();

    // "Tavrel::ServiceManager::Base"; a per-service class returns its own
    // full name ("Tavrel::ServiceManager::Services::Crond"). The name is only
    // shown: nothing is read out of it (a class declares its service word
    // through _build_service).
    virtual std::string class_name() const { return CLASS_NAME; }

    // --- Attributes by name -------------------------------------------------
    // Sets attribute `name` from a JSON value: true when done, false when no
    // attribute has that name (or it is not settable by name: logger, lock,
    // service_manager, tvconf). A value of the wrong shape is Param::Invalid
    // (metadata: name, value).
    virtual bool set_attribute(std::string_view name, const nlohmann::json& value);
    // Every name set_attribute accepts, in declaration order.
    virtual std::vector<std::string> attribute_names() const;
    // set_attribute for every member of a JSON object. With ignore_unknown
    // false, an unknown name is Param::Invalid naming it.
    void apply_options(const nlohmann::json& options, bool ignore_unknown);

    // --- Attributes ---------------------------------------------------------
    bool is_tavrel_service() override;
    void set_is_tavrel_service(bool v) { is_tavrel_service_.set(v); }
    std::string processowner() override;
    void set_processowner(std::string v) { processowner_.set(std::move(v)); }
    std::string service() override;
    void set_service(std::string v) { service_.set(std::move(v)); }
    std::string service_binary() override;
    void set_service_binary(std::string v) { service_binary_.set(std::move(v)); }
    long suspend_time();
    void set_suspend_time(long v) { suspend_time_.set(v); }
    bool is_configured();
    void set_is_configured(bool v) { is_configured_.set(v); }
    std::string not_configured_reason();
    void set_not_configured_reason(std::string v) { not_configured_reason_.set(std::move(v)); }
    bool is_enabled();
    void set_is_enabled(bool v) { is_enabled_.set(v); }
    // An administrator's definition describes the service and its program:
    // its software counts as present, so the enabled state comes from the
    // service's switches alone (a missing program or package is reported by
    // check_sanity as such, not as a disabled service).
    bool described_by_definition() const { return described_by_definition_; }
    void set_described_by_definition(bool v) { described_by_definition_ = v; }
    bool has_single_pid() override;
    void set_has_single_pid(bool v) { has_single_pid_.set(v); }
    std::shared_ptr<Foundation::Logger> logger();
    void set_logger(std::shared_ptr<Foundation::Logger> v) { logger_.set(std::move(v)); }
    // The run lock, or nullptr when this run takes none.
    Lock* lock();
    void set_lock(std::unique_ptr<Lock> v);
    // What the init system controls for this service, which names the
    // daemon's run lock: "unit <id>" for a systemd unit (aliases resolved),
    // "script <path>" for an init script, "program <path> <pid file>" for a
    // daemon this tool launches itself (two launches of one program that
    // write different pid files are two daemons). Words that answer alike
    // drive one daemon.
    std::string controlled_daemon();
    // The daemon's run lock, taken right after the word's (and only with
    // it), or nullptr when this run takes none.
    Lock* daemon_lock();
    // What the run does to the service, for the report that closes the run:
    // the verb its action began as (Tavrel/Service/Verb.h; a restart
    // that finds the service down goes on as a start, one that finds it
    // disabled as a stop), or the word of the class's custom action it runs;
    // neither before an action begins. Setting one clears the other. By name,
    // "service_argv_action" takes a verb's word in capitals ("RESTART"), as
    // it has always been spelt; any other word is a custom action's.
    std::optional<Verb> service_argv_action() const { return verb_taken_; }
    void set_service_argv_action(Verb v);
    const std::string& custom_action_taken() const { return custom_action_taken_; }
    void set_custom_action_taken(std::string word);
    // Why the action found nothing to do (a stop of a service that is not
    // running, a reload of one that does not run or cannot reload), as the
    // one line a person reads; empty when it did what it was asked. The
    // closing line and the result record say it instead of "was stopped".
    const std::string& nothing_done() const { return nothing_done_; }
    void set_nothing_done(std::string reason) { nothing_done_ = std::move(reason); }
    Init::Backend& service_manager();
    void set_service_manager(std::unique_ptr<Init::Backend> v) { service_manager_ = std::move(v); }
    bool has_service_manager() const { return service_manager_ != nullptr; }
    std::string service_name() override;
    void set_service_name(std::string v) { service_name_.set(std::move(v)); }
    std::string service_status();
    void set_service_status(std::string v) { service_status_.set(std::move(v)); }
    bool can_check_service_status();
    void set_can_check_service_status(bool v) { can_check_service_status_.set(v); }
    std::vector<std::string> doomed_rules() override;
    void set_doomed_rules(std::vector<std::string> v) { doomed_rules_.set(std::move(v)); }
    bool graceful_by_default();
    void set_graceful_by_default(bool v) { graceful_by_default_.set(v); }
    bool call_with_force();
    void set_call_with_force(bool v) { call_with_force_.set(v); }
    bool block_fresh_install();
    void set_block_fresh_install(bool v) { block_fresh_install_.set(v); }
    std::string pidfile() override;
    void set_pidfile(std::string v) { pidfile_.set(std::move(v)); }
    std::string pid_exe() override;
    void set_pid_exe(std::string v) { pid_exe_.set(std::move(v)); }
    std::vector<int> ports();
    void set_ports(std::vector<int> v) { ports_.set(std::move(v)); }
    // The addresses the service binds its ports on; empty: every address.
    // The port clean-up ends another account's listener on a port number of
    // the service only when it holds one of these (or a wildcard address).
    std::vector<std::string> listen_addresses();
    void set_listen_addresses(std::vector<std::string> v) { listen_addresses_.set(std::move(v)); }
    std::optional<std::vector<std::string>> restart_args() override;
    void set_restart_args(std::optional<std::vector<std::string>> v) { restart_args_.set(std::move(v)); }
    // The program and arguments that test the service's configuration
    // without touching the running daemon (empty: none).
    std::vector<std::string> config_test();
    void set_config_test(std::vector<std::string> v) { config_test_.set(std::move(v)); }
    std::string service_override();
    void set_service_override(std::string v) { service_override_.set(std::move(v)); }
    std::vector<std::string> service_package();
    void set_service_package(std::vector<std::string> v) { service_package_.set(std::move(v)); }
    std::string service_to_suspend();
    void set_service_to_suspend(std::string v) { service_to_suspend_.set(std::move(v)); }
    std::optional<std::vector<std::string>> startup_args() override;
    void set_startup_args(std::optional<std::vector<std::string>> v) { startup_args_.set(std::move(v)); }
    std::optional<std::vector<std::string>> shutdown_args() override;
    void set_shutdown_args(std::optional<std::vector<std::string>> v) { shutdown_args_.set(std::move(v)); }
    int verbose() override;
    void set_verbose(int v) { verbose_.set(v); }
    // Maximum start attempts; 0 means not set (one attempt).
    int restart_attempts();
    void set_restart_attempts(int v) { restart_attempts_.set(v); }
    // When set, exactly one start attempt with this number (0-based).
    std::optional<int> current_restart_attempt();
    void set_current_restart_attempt(std::optional<int> v) { current_restart_attempt_.set(v); }
    bool support_reload();
    void set_support_reload(bool v) { support_reload_.set(v); }
    std::string command_line_regex() override;
    void set_command_line_regex(std::string v) { command_line_regex_.set(std::move(v)); }
    // Seconds to wait for the pid file after a start.
    double startup_timeout();
    void set_startup_timeout(double v) { startup_timeout_.set(v); }
    // Seconds a started daemon must stay up before its start counts (see
    // _confirm_start); 0 takes every start the init system reports at its word.
    double start_settle();
    void set_start_settle(double v) { start_settle_.set(v); }
    // Seconds an init script's action or the program's own command may run
    // (Tavrel::Init::SysV::DEFAULT_COMMAND_TIMEOUT unless the class or a
    // definition says otherwise); then it is ended and the run fails.
    double command_timeout() override;
    void set_command_timeout(double v) {
        command_timeout_.set(v);
        command_timeout_given_ = true;
    }
    std::optional<double> given_command_timeout() override {
        return command_timeout_given_ ? std::optional<double>(command_timeout()) : std::nullopt;
    }
    std::shared_ptr<const Config::TvConf> tvconf();
    void set_tvconf(std::shared_ptr<const Config::TvConf> v) { tvconf_.set(std::move(v)); }
    // One-shot: the next _called_from_restart answers false and clears it.
    bool _pretend_not_called_from_restart();
    void set__pretend_not_called_from_restart(bool v) { pretend_not_called_from_restart_.set(v); }
    // The process that built the object (the one that releases the lock).
    pid_t _pid() const { return pid_; }
    bool disable_output_partial();
    void set_disable_output_partial(bool v) { disable_output_partial_.set(v); }

    // What the run's command line says about systemd (set before BUILD).
    const Init::RunOptions& run_options() const { return run_options_; }
    void set_run_options(Init::RunOptions v) { run_options_ = v; }

    // The status text of the last status() call.
    const std::string& _last_status() const { return last_status_; }
    // The look the last status() answered from ("" for down; nullopt when
    // none was made): a status or check run's record repeats it instead of
    // looking again, so the record never contradicts the run's exit status.
    const std::optional<std::string>& answered_look() const { return answered_look_; }

    // The output object (terminal output on standard output until the
    // argument driver sets one).
    Output::Base& output_obj();
    void set_output_obj(std::shared_ptr<Output::Base> output) { output_obj_ = std::move(output); }
    bool has_output_obj() const { return output_obj_ != nullptr; }

    // Custom actions of the class: action word -> operation.
    using Action = std::function<void()>;
    const std::map<std::string, Action>& custom_actions() const { return custom_actions_; }
    const Action* custom_action(std::string_view word) const;

    // --- Reporting ----------------------------------------------------------
    // A whole line on the output object.
    void output(const std::string& text);
    // A fragment of a line (nothing when disable_output_partial).
    void output_partial(const std::string& text);
    // At verbosity 2 these are debug lines; else the logger's.
    void info(const std::string& message) override;
    void warn(const std::string& message) override;
    // Nothing below verbosity 2; else one line through the logger's info:
    // the seconds since the first debug line of the process, then the text.
    void debug(const std::string& message) override;
    bool is_debug_enabled() override { return verbose() == 2; }
    // Ends the process with `code`.
    [[noreturn]] virtual void _exit(int code);

    // --- Lifecycle ----------------------------------------------------------
    // True when started; false when the class or the enabled state says not
    // to start; Services::StartError when every attempt failed.
    virtual bool start();
    // True once a fresh look finds nothing of the service running (also
    // when there was nothing to stop, which nothing_done() then says);
    // Services::StopError, naming what still runs, when something does.
    virtual bool stop();
    // The status text after the restart; empty when a hook vetoed it or the
    // service did not report a status (the driver turns that into a
    // restart failure). `graceful` unset means graceful_by_default.
    virtual std::string restart(std::optional<bool> graceful = std::nullopt);
    // The backend's result, or true when there was nothing to reload (not
    // running, or no way to reload it), which nothing_done() then says.
    virtual bool reload();
    // The line of a reload asked of a service that cannot reload.
    std::string cannot_reload_reason();

    bool _called_from_restart();
    // At verbosity 1, ends the progress line with the outcome word.
    void _end_progress_line(bool success);
    // Ends the process with 0 while a base installation runs, unless forced.
    void _exit_if_block_fresh_install();
    // Lift the resource limits and reset the priorities before a start.
    virtual bool setrlimits();
    virtual void resetnice();
    // Once per object, before the first program run for the service (init
    // script, daemon, configuration test) by start, stop, restart or
    // reload: the file-creation mask START_UMASK, setrlimits and resetnice,
    // so that none of them inherits the caller's umask, limits or priority.
    void _prepare_process_for_service_programs();
    // The server's role profile does not allow the service.
    virtual bool _service_is_role_aware_and_disabled();
    void _verify_role();

    // --- Status -------------------------------------------------------------
    // The status text (empty: down). Never throws by itself.
    std::string get_status_string();
    // The status text; the precise failure when the service is down.
    std::string status();
    bool check();
    std::pair<bool, std::string> check_with_message();
    bool check_sanity();
    // The not-installed or binary-not-found failure when the service's
    // program (or its package) is missing; nothing otherwise.
    void _check_program_is_there();
    // Services::StartError, with a hint, when the service's systemd unit is
    // masked: systemd would refuse the start that follows the stop.
    void _check_unit_is_not_masked();
    // Services::RestartError, with the test's words, when the service's
    // configuration fails its test: a daemon stopped (or signalled to
    // restart in place) with a broken configuration does not come back.
    // A test that cannot be run is passed over.
    void _check_configuration();
    // `via`: the status text must name it (for example a check method).
    bool is_up(const std::optional<std::string>& via = std::nullopt);
    // just_started: the daemon was launched a moment ago and may still be
    // rewriting its pid file (a forking daemon naming its parent first).
    bool is_up_via_pidfile(bool just_started = false);
    // The status text once the service reports one, empty after the wait
    // limit, or sooner once the start is over (_start_is_over, looked at
    // START_GONE_GRACE after the wait began); a non-empty text at once when
    // the status cannot be checked.
    std::string wait_for_service_status(int attempt);

    // --- Start confirmation (Base_started.cpp) -----------------------------
    // After a start the init system reported done (at `seen`, with `marks`
    // taken then), whether the daemon really runs: a service with ports
    // listens on each by a process of its own (within startup_timeout of
    // `seen`); any other stays up, by the status look, until start_settle
    // seconds after `seen` (no wait when the waits before took that long);
    // and a supervising init system has not restarted it meanwhile. False
    // says why in a warning and in the start failure's hint.
    bool _confirm_start(std::chrono::steady_clock::time_point seen,
                        const std::optional<Init::StartMarks>& marks);
    // Whether a start whose init script or unit has finished has left
    // nothing of the service: the backend's word, else no process of the
    // service (by the status look, the pid file or its program) runs.
    bool _start_is_over();

    // What of the service runs now, one description per process ("PID 42
    // (/usr/sbin/zd -f)" or its status line); empty when nothing does. It
    // looks at the pid file's process (judged as the stop judges it), at the
    // unit's processes under systemd, at the status check where no pid file
    // says more, and at the copies of a daemon the tool launches itself.
    // `pids`, when given, gets the pids among them.
    std::vector<std::string> _what_still_runs(std::vector<pid_t>* pids = nullptr);
    // The copies of the daemon that the tool launches by its program with
    // its start arguments (Copies.h); none for a service that an init script
    // or a unit starts.
    std::vector<Copies::Copy> _launched_copies();
    // The copies of the daemon that no pid file names: those launched, and,
    // outside systemd, those the status check finds in the process table
    // that run the service's program titled as itself (what an init script
    // started without writing the pid file). A failed start attempt ends
    // those it added; a stop ends only the launched ones (an init script
    // that refuses to stop its daemon is not overruled) and names the rest.
    std::vector<Copies::Copy> _running_copies();

    // --- Clean-up -----------------------------------------------------------
    void _terminate_orphaned_processes();
    // Ends the copies of the daemon that are not in `before` (what a failed
    // start attempt launched); true when there were none or all have gone.
    bool _end_copies_not_in(const std::vector<Copies::Copy>& before);
    // Kills what holds the service's ports and stands in its way (see
    // Tavrel::Process::Kill::AppPort): nullopt when it has none, else
    // whether it found such processes and they have gone.
    std::optional<bool> kill_apps_on_ports(const std::vector<std::string>& exclude_ips);
    // At a stop: ends the service's own listeners on its ports, never
    // another account's; warns naming those of its own that outlived it.
    bool end_own_listeners() override;
    // Before a start attempt after a failed one: clears the ports; false
    // when something still holds them where the service would listen (a
    // second attempt would fail alike), with the holder in the start
    // failure's hint.
    bool _clear_ports_for_next_attempt();

    // --- Failures -----------------------------------------------------------
    [[noreturn]] void _generate_start_exception();
    [[noreturn]] void _generate_restart_exception();
    [[noreturn]] void _generate_reload_exception();
    [[noreturn]] void _generate_is_down_exception();
    [[noreturn]] void _generate_disabled_exception();
    [[noreturn]] void _generate_not_configured_exception();
    [[noreturn]] void _generate_not_installed_exception(const std::string& package = {});
    [[noreturn]] void _generate_binary_not_found_exception(int error_number);
    Foundation::Exception _no_roles_exception();

    // The id of the systemd unit that runs the service ("ssh.service"), or
    // "" when its backend has no unit.
    std::string systemd_unit_id();

    // The file a path names, links resolved; the path itself when it cannot
    // be resolved.
    static std::string _resolved_path(const std::string& path);

    // The unit name systemd knows the service by on this platform.
    static std::string _get_systemd_name(std::string_view name);

    // --- Hooks of a service class (nullopt: the class has none) ------------
    virtual std::optional<bool> start_check() { return std::nullopt; }
    virtual std::optional<bool> stop_check() { return std::nullopt; }
    virtual std::optional<bool> restart_check() { return std::nullopt; }
    virtual std::optional<bool> restart_attempt(int /*attempt*/) { return std::nullopt; }
    virtual std::optional<bool> restart_gracefully() { return std::nullopt; }
    // A class that offers restart_gracefully says so here (Hot does).
    virtual bool has_restart_gracefully() const { return false; }
    virtual std::optional<bool> pidfile_precheck() { return std::nullopt; }

  protected:
    // Builders a service class overrides.
    virtual bool _build_is_tavrel_service() { return false; }
    virtual std::string _build_processowner() { return DEFAULT_PROCESSOWNER; }
    // The word of the service a built-in class is for ("crond"): each such
    // class declares its own. The generic object has none until its options
    // give one.
    virtual std::string _build_service() { return {}; }
    virtual std::string _build_service_binary();
    virtual long _build_suspend_time() { return 600; }
    virtual bool _build_is_configured() { return true; }
    virtual std::string _build_not_configured_reason() { return {}; }
    virtual bool _build_is_enabled();
    virtual bool _build_has_single_pid() { return true; }
    virtual std::shared_ptr<Foundation::Logger> _build_logger();
    virtual std::unique_ptr<Lock> _build_lock();
    virtual std::unique_ptr<Lock> _build_daemon_lock();
    virtual std::unique_ptr<Init::Backend> _build_service_manager();
    virtual std::string _build_service_name();
    virtual bool _build_can_check_service_status() { return true; }
    virtual std::vector<std::string> _build_doomed_rules() { return {}; }
    virtual bool _build_graceful_by_default() { return true; }
    virtual bool _build_block_fresh_install() { return false; }
    virtual std::string _build_pidfile() { return {}; }
    virtual std::string _build_pid_exe() { return {}; }
    virtual std::vector<int> _build_ports() { return {}; }
    virtual std::vector<std::string> _build_listen_addresses() { return {}; }
    virtual std::optional<std::vector<std::string>> _build_restart_args() { return std::nullopt; }
    virtual std::vector<std::string> _build_config_test() { return {}; }
    virtual std::string _build_service_override() { return {}; }
    virtual std::vector<std::string> _build_service_package() { return {}; }
    virtual std::string _build_service_to_suspend() { return service(); }
    virtual std::optional<std::vector<std::string>> _build_startup_args() { return std::nullopt; }
    virtual std::optional<std::vector<std::string>> _build_shutdown_args() { return std::nullopt; }
    virtual int _build_restart_attempts() { return 0; }
    virtual bool _build_support_reload() { return false; }
    virtual std::string _build_command_line_regex() { return {}; }
    virtual double _build_startup_timeout() { return 10; }
    virtual double _build_start_settle() { return DEFAULT_START_SETTLE; }
    virtual double _build_command_timeout();
    virtual std::shared_ptr<const Config::TvConf> _build_tvconf();

    // Finds and ends the processes matching `rules` (never this process or
    // its ancestors); true when it found any.
    // The shared process check behind the status text.
    virtual std::string _check_service(const Init::CheckServiceOptions& options);
    // What the status check asks of it (outside systemd).
    Init::CheckServiceOptions _status_check_options();
    std::string _own_unit_for_look();
    // The processes the status check's last step counts as the service's.
    virtual std::vector<pid_t> _process_table_pids(const Init::CheckServiceOptions& options);

    virtual bool _doomedprocess(const std::vector<std::string>& rules, bool debug);

    void add_custom_action(std::string word, Action action) {
        custom_actions_[std::move(word)] = std::move(action);
    }

    // "Tavrel::Exception::Services::<type>" with the service as parameter.
    Foundation::Exception service_exception(std::string_view type, Foundation::Exception::Metadata extra = {});

  private:
    // Who the port clean-up works for.
    Process::Kill::AppPort::Service _port_side();
    // A dry run's start and stop: what each would do, said as steps of the
    // plan (Plan.h) where the real one would act; true.
    bool _plan_start();
    bool _plan_stop();
    // Waits (STOP_CONFIRM_WAIT) for _what_still_runs to be empty; raises
    // Services::StopError naming what still runs when it is not.
    void _confirm_stopped();
    // _start_is_over for a start waited for since `since`, said in a warning
    // and kept for the start failure.
    bool _started_and_gone(std::chrono::steady_clock::time_point since);
    // Runs restart's work with the inside-restart flag raised.
    std::string restart_inner(std::optional<bool> graceful);
    int start_attempts_loop(bool inside);

    detail::Lazy<bool> is_tavrel_service_;
    detail::Lazy<std::string> processowner_;
    detail::Lazy<std::string> service_;
    detail::Lazy<std::string> service_binary_;
    detail::Lazy<long> suspend_time_;
    detail::Lazy<bool> is_configured_;
    detail::Lazy<std::string> not_configured_reason_;
    detail::Lazy<bool> is_enabled_;
    detail::Lazy<bool> has_single_pid_;
    detail::Lazy<std::shared_ptr<Foundation::Logger>> logger_;
    std::unique_ptr<Lock> lock_;
    bool lock_built_ = false;
    std::unique_ptr<Lock> daemon_lock_;
    bool daemon_lock_built_ = false;
    std::optional<Verb> verb_taken_;
    std::string custom_action_taken_;
    std::string nothing_done_;
    std::unique_ptr<Init::Backend> service_manager_;
    // The unit that systemd, asked when the backend was chosen, had no
    // usable one of ("" when it was not asked or had one).
    std::string unit_without_systemd_;
    Init::RunOptions run_options_;
    detail::Lazy<std::string> service_name_;
    detail::Lazy<std::string> service_status_;
    detail::Lazy<bool> can_check_service_status_;
    detail::Lazy<std::vector<std::string>> doomed_rules_;
    detail::Lazy<bool> graceful_by_default_;
    detail::Lazy<bool> call_with_force_;
    detail::Lazy<bool> block_fresh_install_;
    detail::Lazy<std::string> pidfile_;
    detail::Lazy<std::string> pid_exe_;
    detail::Lazy<std::vector<int>> ports_;
    detail::Lazy<std::vector<std::string>> listen_addresses_;
    detail::Lazy<std::optional<std::vector<std::string>>> restart_args_;
    detail::Lazy<std::vector<std::string>> config_test_;
    detail::Lazy<std::string> service_override_;
    detail::Lazy<std::vector<std::string>> service_package_;
    detail::Lazy<std::string> service_to_suspend_;
    detail::Lazy<std::optional<std::vector<std::string>>> startup_args_;
    detail::Lazy<std::optional<std::vector<std::string>>> shutdown_args_;
    detail::Lazy<int> verbose_;
    detail::Lazy<int> restart_attempts_;
    detail::Lazy<std::optional<int>> current_restart_attempt_;
    detail::Lazy<bool> support_reload_;
    detail::Lazy<std::string> command_line_regex_;
    detail::Lazy<double> startup_timeout_;
    detail::Lazy<double> start_settle_;
    detail::Lazy<double> command_timeout_;
    detail::Lazy<std::shared_ptr<const Config::TvConf>> tvconf_;
    detail::Lazy<bool> pretend_not_called_from_restart_;
    detail::Lazy<bool> disable_output_partial_;

    bool described_by_definition_ = false;
    bool command_timeout_given_ = false;
    // The moment the stop of a restart began: a process started after it is
    // the service started anew (by a socket of its unit, say), not one the
    // stop left running.
    std::optional<unsigned long long> restart_stop_began_;  // boot ticks
    pid_t pid_;
    std::string last_status_;
    std::optional<std::string> answered_look_;
    bool verify_role_done_ = false;
    bool process_prepared_ = false;
    // Why the last start attempt did not count ("" when it did, or when
    // nothing more than its failure is known); shown with the start failure.
    std::string start_doubt_;
    // This run suspended the service monitor for the service (its stop).
    bool suspended_monitor_ = false;
    // What this run's start found in its way, for its failure's hint.
    std::string start_hint_;
    int restart_depth_ = 0;
    std::shared_ptr<Output::Base> output_obj_;
    std::map<std::string, Action> custom_actions_;
};

}  // namespace Tavrel::Service
