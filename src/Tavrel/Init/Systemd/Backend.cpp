#include "Tavrel/Init/Systemd/Backend.h"

#include "Tavrel/Foundation/Poll.h"
#include "Tavrel/Run/ChildErrorStringifier.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Foundation/Text/Digits.h"
#include "Tavrel/Run/SafeRun/Object.h"
#include "Tavrel/Init/CheckService.h"
#include "Tavrel/Init/Doomed.h"
#include "Tavrel/Process/Proc/Cgroup.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <sstream>

namespace Tavrel::Init::Systemd {

namespace Sd = Systemctl;

namespace {

std::string in_quotes(std::string_view unit) {
    return "“" + std::string(unit) + "”";
}

// Whether a unit in `state` counts as active (as systemctl is-active counts).
bool counts_as_active(std::string_view state) {
    return state == Sd::ACTIVE || state == Sd::RELOADING;
}

// "activating (start)", from a look at ActiveState and SubState.
std::string describe_state(UnitProperties look) {
    std::string state = look["ActiveState"];
    if (state.empty())
        return "in a state systemctl did not tell";
    if (!look["SubState"].empty())
        state += " (" + look["SubState"] + ")";
    return state;
}

UnitProperties look_at_state(const std::string& unit) {
    return Sd::get_properties_via_systemd(unit, {"ActiveState", "SubState"});
}

// What a look of is_active takes of the unit, in one systemctl show.
const std::vector<std::string> LOOK_KEYS = {"ActiveState", "MainPID", "SubState"};

// Those keys of `props`, each present (empty when `props` lacks it).
UnitProperties look_of(const UnitProperties& props) {
    UnitProperties look;
    for (const auto& key : LOOK_KEYS) {
        const auto found = props.find(key);
        look[key] = found == props.end() ? std::string() : found->second;
    }
    return look;
}

std::string seconds_text(double seconds) {
    std::ostringstream text;
    text << seconds;
    return text.str();
}

// The time-outs of the jobs the calls wait for: systemd runs a reload under
// the start time-out, and a restart stops, then starts.
const std::vector<std::string> START_TIMEOUTS = {"TimeoutStartUSec"};
const std::vector<std::string> STOP_TIMEOUTS = {"TimeoutStopUSec"};
const std::vector<std::string> RESTART_TIMEOUTS = {"TimeoutStopUSec", "TimeoutStartUSec"};

// One status line for each of `pids` that check_service confirms.
std::string status_lines(const std::vector<pid_t>& pids, CheckServiceOptions check) {
    std::string text;
    for (pid_t pid : pids) {
        check.pid = pid;
        std::string line = check_service(check);
        if (line.empty())
            continue;
        if (!text.empty())
            text += "\n";
        text += line;
    }
    return text;
}

// The status of a unit still starting: the processes of its control group
// that run the service's program. What else runs there then (a pre-start
// script) is not the service; without its program nothing tells them apart.
std::string status_while_starting(Service& svc, const std::string& unit, const CheckServiceOptions& check) {
    const std::string binary = svc.service_binary();
    if (binary.empty())
        return std::string();
    std::vector<pid_t> own;
    for (pid_t pid : Sd::get_pids_via_systemd(unit)) {
        if (process_runs_binary(pid, binary))
            own.push_back(pid);
    }
    return status_lines(own, check);
}

}  // namespace

Backend::Backend(Options o)
    : service_(std::move(o.service)),
      props_(std::move(o.service_via_systemd)),
      executed_by_systemd_(o.this_process_was_executed_by_systemd) {
    if (o.started_by_init) {
        throw Foundation::PlainError("The service “" + service_ +
                         "” cannot be driven through systemctl from a process that systemd "
                         "started itself.");
    }
    if (o.snapshot_is_current && props_.count("ActiveState") && props_.count("MainPID")) {
        last_look_ = look_of(props_);
        keep_look();
    }
}

std::string Backend::unit() const {
    return service_ + std::string(Sd::SERVICE_SUFFIX);
}

void Backend::keep_look() {
    look_reusable_ = true;
    look_taken_ = std::chrono::steady_clock::now();
}

bool Backend::reuse_last_look() {
    const bool fresh = look_reusable_ &&
                       std::chrono::steady_clock::now() - look_taken_ <=
                           std::chrono::duration<double>(SNAPSHOT_FRESH_SECONDS);
    // Only an active unit's look stands for more than one answer: waits poll
    // a unit that is not active yet, and each poll must see something new.
    look_reusable_ = fresh && counts_as_active(last_look_["ActiveState"]);
    return fresh;
}

double Backend::bound_for(Service& svc, const std::vector<std::string>& timeout_keys) const {
    if (const auto given = svc.given_command_timeout())
        return *given;
    return Sd::call_bound(props_, timeout_keys);
}

Run::SafeRun::Object Backend::bounded_call(Service& svc, std::vector<std::string> args,
                                           double bound, std::string_view doing,
                                           const std::string& unit, std::string_view failure_type,
                                           std::ostream* sink) {
    look_reusable_ = false;
    Run::SafeRun::Options options{.program = gl_systemctl_binary, .args = std::move(args),
                                  .timeout = bound};
    if (sink) {
        options.stdout_to = sink;
        options.stderr_to = sink;
    }
    Run::SafeRun::Object run(std::move(options));
    if (!run.timed_out())
        return run;
    // Ending systemctl does not cancel its job: the unit goes on as systemd
    // has it, and the state says where that is.
    const std::string state = describe_state(look_at_state(unit));
    throw Foundation::Exception::create(
        "Services::" + std::string(failure_type),
        {{"service", svc.service()},
         {"hint", "systemd did not finish " + std::string(doing) + " " + in_quotes(unit) +
                      " within " + seconds_text(bound) + " seconds: the unit is " + state +
                      ", and systemd goes on with it. “systemctl status " + unit +
                      "” shows what it waits for; to allow it more time, set "
                      "“command_timeout” in the service’s definition."}});
}

bool Backend::start(Service& svc) {
    // Both streams in one text, in the order systemctl wrote them.
    std::ostringstream sink;
    const auto run =
        bounded_call(svc, {"restart", "--no-ask-password", "--", unit()},
                     bound_for(svc, RESTART_TIMEOUTS), "starting", unit(), "StartError", &sink);
    if (run.CHILD_ERROR() != 0) {
        svc.info("systemd could not start " + in_quotes(unit()) + ": " + run.autopsy().value_or("") +
                 "\n" + sink.str());
        return false;
    }
    if (svc.is_debug_enabled())
        svc.info("systemd started " + in_quotes(unit()) + ".");
    return true;
}

bool Backend::stop(Service& svc, std::string_view unit_type) {
    const std::string name = service_ + "." + std::string(unit_type);
    const int status = bounded_call(svc, {"stop", "--", name}, bound_for(svc, STOP_TIMEOUTS),
                                    "stopping", name, "StopError")
                           .CHILD_ERROR();
    if (status != 0) {
        Run::ChildErrorStringifier how(status, gl_systemctl_binary);
        svc.debug("Stopping the " + std::string(unit_type) + " unit " + in_quotes(name) +
                  " failed: " + how.terse_autopsy() + ".");
        return false;
    }
    svc.debug("Stopped the " + std::string(unit_type) + " unit " + in_quotes(name) + ".");
    return true;
}

std::optional<bool> Backend::reload(Service& svc) {
    const int status = bounded_call(svc, {"reload", "--", unit()}, bound_for(svc, START_TIMEOUTS),
                                    "reloading", unit(), "ReloadError")
                           .CHILD_ERROR();
    if (status != 0) {
        Run::ChildErrorStringifier how(status, gl_systemctl_binary);
        svc.debug("Reloading " + in_quotes(unit()) + " failed: " + how.terse_autopsy() + ".");
        return false;
    }
    svc.debug("Reloaded " + in_quotes(unit()) + ".");
    return true;
}

std::optional<bool> Backend::restart_attempt(Service& svc, int attempt) {
    look_reusable_ = false;
    if (attempt == 1) {
        const auto rules = svc.doomed_rules();
        if (!rules.empty()) {
            svc.debug("Ending leftover processes of " + svc.service_name() +
                      " before systemd starts it.");
            // The unit's own processes, or the service owner's outside any
            // other unit: never another account's copy of the program.
            std::vector<std::string> owners;
            if (std::string owner = svc.processowner(); !owner.empty())
                owners.push_back(std::move(owner));
            const auto id = props_.find("Id");
            // Finding nothing here is the usual case and no news: its
            // progress is shown at the debug level only, as under SysV.
            doomedprocess(rules, svc.is_debug_enabled(), 0, owners,
                                      id == props_.end() ? std::string() : id->second);
        }
    }
    return true;
}

bool Backend::_systemctl_is_active() {
    last_look_ = Sd::get_properties_via_systemd(unit(), LOOK_KEYS);
    return counts_as_active(last_look_["ActiveState"]);
}

bool Backend::is_active(Service& svc) {
    const auto captured = props_.find("ActiveState");
    const bool was_active = captured != props_.end() && captured->second == Sd::ACTIVE;
    bool active = false;
    bool confirmed = false;
    if (reuse_last_look()) {
        active = counts_as_active(last_look_["ActiveState"]);
        confirmed = look_confirmed_;
    } else {
        active = _systemctl_is_active();
    }
    if (!confirmed && active != was_active) {
        // A unit changing state right now: look again before believing it.
        for (int look = 0; look < IS_ACTIVE_CONFIRMATIONS; ++look) {
            Foundation::Poll::pause_for(IS_ACTIVE_CONFIRM_INTERVAL);
            active = _systemctl_is_active();
            if (!active) {
                svc.debug(in_quotes(unit()) + " is no longer active.");
                break;
            }
        }
    }
    if (active && !confirmed) {
        keep_look();
        look_confirmed_ = true;
    }
    svc.debug(in_quotes(unit()) + (active ? " is active." : " is not active."));
    return active;
}

std::optional<bool> Backend::stop_triggers(Service& svc) {
    const UnitProperties now = Sd::get_properties_via_systemd(unit(), {"TriggeredBy"});
    const auto triggers = now.find("TriggeredBy");
    if (triggers == now.end())
        return true;
    // The characters systemd allows in a unit name (a backslash starts its escapes).
    static const Foundation::Regex unit_name(R"(^[A-Za-z0-9@._:\\-]+$)");
    bool all_stopped = true;
    std::istringstream names(triggers->second);
    for (std::string name; names >> name;) {
        if (!name.ends_with(Sd::SOCKET_SUFFIX) || !unit_name.test(name))
            continue;
        // The service's record holds no time-out of its sockets.
        const double bound = svc.given_command_timeout().value_or(Sd::CALL_BOUND_MAX);
        const int status = bounded_call(svc, {"stop", "--", name}, bound,
                                        "stopping", name, "StopError")
                               .CHILD_ERROR();
        svc.debug((status == 0 ? "Stopped " : "Could not stop ") + in_quotes(name) +
                  ", which would start " + in_quotes(unit()) + " again.");
        all_stopped = all_stopped && status == 0;
    }
    return all_stopped;
}

bool Backend::is_under_way(Service& svc) {
    const UnitProperties now = look_at_state(unit());
    const auto state = now.find("ActiveState");
    // A unit that systemd says nothing of is not known to be at rest.
    const bool under_way = state == now.end() || !Sd::is_at_rest(state->second);
    if (under_way)
        svc.debug(in_quotes(unit()) + " is not up but " + describe_state(now) +
                  ": it is stopped all the same.");
    return under_way;
}

std::string Backend::start_refusal_hint(Service&) {
    const UnitProperties now = Sd::get_properties_via_systemd(unit(), {"Result"});
    const auto result = now.find("Result");
    if (result == now.end() || result->second != Sd::START_LIMIT_HIT)
        return {};
    return "systemd refuses to start " + unit() +
           ": it was started more often than its start limit allows in a short time. It "
           "starts again once that time has passed, or at once after: systemctl reset-failed " +
           unit();
}

std::optional<Remains> Backend::remains(Service&) {
    const UnitProperties now =
        Sd::get_properties_via_systemd(unit(), {"ActiveState", "SubState", "MainPID", "KillMode", "ControlGroup"});
    auto value = [&](const char* key) {
        const auto it = now.find(key);
        return it == now.end() ? std::string() : it->second;
    };
    Remains left;
    left.unit = unit();
    left.state = value("ActiveState");
    left.sub_state = value("SubState");
    left.at_rest = left.state.empty() || Sd::is_at_rest(left.state);
    if (const auto main = Sd::parse_pid(value("MainPID")))
        left.main_pid = static_cast<pid_t>(*main);
    left.pids = Process::Proc::Cgroup::processes_in(value("ControlGroup"));
    left.main_process_only = value("KillMode") == Sd::KILL_MODE_MAIN_ONLY;
    return left;
}

std::string Backend::start_blocker() const {
    const auto load_state = props_.find("LoadState");
    if (load_state == props_.end() || load_state->second != Sd::MASKED)
        return {};
    const auto id = props_.find("Id");
    const std::string name = id != props_.end() && !id->second.empty() ? id->second : service_;
    return "Its systemd unit " + name + " is masked, so systemd will not start it; it was left "
           "as it is. To let it start: systemctl unmask " + name;
}

std::optional<StartMarks> Backend::start_marks(Service&) {
    const UnitProperties now =
        Sd::get_properties_via_systemd(unit(), {"NRestarts", "MainPID", "ActiveState", "SubState"});
    // The same look is the first the start's wait makes of the unit: one
    // systemctl run, not two in a row.
    if (now.count("ActiveState")) {
        last_look_ = look_of(now);
        keep_look();
        look_confirmed_ = false;
    }
    StartMarks marks;
    if (const auto restarts = now.find("NRestarts"); restarts != now.end()) {
        if (const auto count = Foundation::Text::digits_value(restarts->second, INT32_MAX))
            marks.restarts = static_cast<long>(*count);
    }
    if (const auto main = now.find("MainPID"); main != now.end()) {
        if (const auto pid = Sd::parse_pid(main->second))
            marks.main_pid = *pid;
    }
    return marks;
}

std::optional<bool> Backend::start_is_over(Service&) {
    look_reusable_ = false;
    const UnitProperties now = Sd::get_properties_via_systemd(unit(), {"ActiveState"});
    const auto state = now.find("ActiveState");
    return state != now.end() && (state->second == Sd::INACTIVE || state->second == Sd::FAILED);
}

std::optional<std::string> Backend::status_helper(Service& svc) {
    CheckServiceOptions check;
    check.service = svc.service_name();
    check.user = svc.processowner();
    check.binary = svc.service_binary();
    if (auto type = props_.find("Type");
        type != props_.end() && type->second == RUNNING_WHEN_ACTIVE_TYPE) {
        check.pidfile = svc.pidfile();
        // A unit of this type may be an umbrella with no process of its own
        // (Debian's postgresql.service; the server runs under an instance
        // unit): a service with a pid file of its own is what that file's
        // process says, found as without systemd.
        if (!check.pidfile.empty()) {
            check.ignore_systemd = true;
            check.program = svc.pid_exe();
            check.command_line_regex = svc.command_line_regex();
        }
        return check_service(check);
    }
    check.check_method = SYSTEMD_METHOD;
    if (!is_active(svc)) {
        // A unit still starting may run its program already (a daemon that
        // loads a while before it forks, or one whose pid file is not yet
        // written): those processes are the service, to a look as to a stop.
        if (last_look_["ActiveState"] == Sd::ACTIVATING) {
            // Before its program is started, a process of that program is
            // the unit's configuration test (`sshd -t`), not the service.
            const auto& before = Sd::BEFORE_THE_PROGRAM;
            if (std::find(before.begin(), before.end(), last_look_["SubState"]) != before.end())
                return std::string();
            return status_while_starting(svc, service_, check);
        }
        // A unit being stopped whose main process has not ended yet (one
        // slow to end on TERM, until systemd's stop time-out kills it) still
        // runs it: "down" would have the monitor start a second copy.
        if (last_look_["ActiveState"] != Sd::DEACTIVATING || !Sd::parse_pid(last_look_["MainPID"]))
            return std::string();
    }
    if (svc.has_single_pid()) {
        // is_active has just read MainPID: most units need no further question.
        auto pid = Sd::parse_pid(last_look_["MainPID"]);
        if (!pid)
            pid = Sd::get_pid_via_systemd(service_);
        if (pid) {
            check.pid = pid;
            return check_service(check);
        }
    }
    return status_lines(Sd::get_pids_via_systemd(service_), check);
}

}  // namespace Tavrel::Init::Systemd
