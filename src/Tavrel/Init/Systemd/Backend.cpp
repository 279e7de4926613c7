#include "Tavrel/Init/Systemd/Backend.h"

#include "Tavrel/Run/ChildErrorStringifier.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Foundation/Text/Digits.h"
#include "Tavrel/Run/SafeRun/Object.h"
#include "Tavrel/Init/CheckService.h"
#include "Tavrel/Init/Doomed.h"

#include <chrono>
#include <cstdint>
#include <sstream>
#include <thread>

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

// systemctl with `args`; its raw wait status.
int systemctl(std::vector<std::string> args) {
    return Run::SafeRun::Object({.program = gl_systemctl_binary, .args = std::move(args)}).CHILD_ERROR();
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
        last_look_ = {{"ActiveState", props_["ActiveState"]}, {"MainPID", props_["MainPID"]}};
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

bool Backend::start(Service& svc) {
    look_reusable_ = false;
    // Both streams in one text, in the order systemctl wrote them.
    std::ostringstream sink;
    Run::SafeRun::Object run({.program = gl_systemctl_binary,
                         .args = {"restart", "--no-ask-password", "--", unit()},
                         .stdout_to = &sink,
                         .stderr_to = &sink});
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
    look_reusable_ = false;
    const std::string name = service_ + "." + std::string(unit_type);
    const int status = systemctl({"stop", "--", name});
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
    look_reusable_ = false;
    const int status = systemctl({"reload", "--", unit()});
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
    last_look_ = Sd::get_properties_via_systemd(unit(), {"ActiveState", "MainPID"});
    return counts_as_active(last_look_["ActiveState"]);
}

bool Backend::is_active(Service& svc) {
    const auto captured = props_.find("ActiveState");
    const bool was_active = captured != props_.end() && captured->second == Sd::ACTIVE;
    bool active = false;
    if (reuse_last_look()) {
        active = counts_as_active(last_look_["ActiveState"]);
    } else {
        active = _systemctl_is_active();
        if (active != was_active) {
            // A unit changing state right now: look again before believing it.
            for (int look = 0; look < IS_ACTIVE_CONFIRMATIONS; ++look) {
                std::this_thread::sleep_for(
                    std::chrono::duration<double>(IS_ACTIVE_CONFIRM_INTERVAL));
                active = _systemctl_is_active();
                if (!active) {
                    svc.debug(in_quotes(unit()) + " is no longer active.");
                    break;
                }
            }
        }
        if (active)
            keep_look();
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
        look_reusable_ = false;
        const int status = systemctl({"stop", "--", name});
        svc.debug((status == 0 ? "Stopped " : "Could not stop ") + in_quotes(name) +
                  ", which would start " + in_quotes(unit()) + " again.");
        all_stopped = all_stopped && status == 0;
    }
    return all_stopped;
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

std::optional<StartMarks> Backend::start_marks(Service&) {
    const UnitProperties now = Sd::get_properties_via_systemd(unit(), {"NRestarts", "MainPID"});
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
    if (!is_active(svc))
        return std::string();
    check.check_method = SYSTEMD_METHOD;
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
    std::string text;
    for (pid_t pid : Sd::get_pids_via_systemd(service_)) {
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

}  // namespace Tavrel::Init::Systemd
