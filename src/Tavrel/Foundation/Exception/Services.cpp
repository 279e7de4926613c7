// The service failure family: outcomes of a service action that the entry
// program reports to the user instead of treating them as faults. Every type
// names the service; an optional "hint" metadata entry is appended as a
// further sentence telling the user what to do. Each kind says how the run
// reports it (Exception::ServiceFailure); the family itself says "failed", so
// a kind added without a word of its own is still a failure of the service.
#include "Tavrel/Foundation/Exception/Catalogue.h"

namespace Tavrel::Foundation {

namespace {

using Catalogue = Exception::Catalogue;
using Args = std::vector<LocaleString::Arg>;

std::string service(const Exception& e) {
    return Catalogue::text(e, {"service", "service_name"});
}

LocaleString with_hint(const Exception& e, std::string phrase, Args args) {
    if (std::string hint = Catalogue::text(e, {"hint"}); !hint.empty()) {
        args.emplace_back(hint);
        phrase += " [_" + std::to_string(args.size()) + "]";
    }
    return LocaleString(std::move(phrase), std::move(args));
}

using Kind = Exception::ServiceFailure;

// For the types whose message is one sentence about the service.
void add_simple(std::string type, std::string phrase, Kind kind = Kind::Failed) {
    Catalogue::add(
        std::move(type), [phrase](Exception& e) { return with_hint(e, phrase, {service(e)}); },
        kind);
}

LocaleString not_configured(Exception& e) {
    std::string reason = Catalogue::text(e, {"reason", "not_configured_reason"});
    if (reason.empty())
        return with_hint(e, "The service “[_1]” is not configured.", {service(e)});
    return with_hint(e, "The service “[_1]” is not configured: [_2]", {service(e), reason});
}

LocaleString not_installed(Exception& e) {
    std::string package = Catalogue::text(e, {"package"});
    if (package.empty())
        return with_hint(e, "The service “[_1]” is not installed.", {service(e)});
    return with_hint(e, "The service “[_1]” is not installed: its package “[_2]” is missing.",
                     {service(e), package});
}

LocaleString binary_not_found(Exception& e) {
    std::string binary = Catalogue::text(e, {"binary", "path"});
    if (!Catalogue::has_error(e)) {
        return with_hint(e, "The service “[_1]” cannot run because its program “[_2]” is missing.",
                         {service(e), binary});
    }
    return with_hint(e,
                     "The service “[_1]” cannot run because its program “[_2]” is not "
                     "executable: [_3]",
                     {service(e), binary, e.error_text()});
}

LocaleString unknown(Exception& e) {
    std::string reason = Catalogue::text(e, {"reason"});
    if (reason.empty())
        reason = "it has no service class, no init script and no systemd unit";
    return with_hint(e, "The system does not know the service “[_1]”: [_2].", {service(e), reason});
}

// A command of the service (its init script's action, or its program) that
// had to be ended at its time bound.
LocaleString command_timed_out(Exception& e) {
    std::string command = Catalogue::text(e, {"program"});
    if (std::string action = Catalogue::text(e, {"action"}); !action.empty())
        command += " " + action;
    return with_hint(e,
                     "“[_2]” did not finish within [_3] seconds, so the system ended it and "
                     "the processes it started; the state of the service “[_1]” is not known. "
                     "Its startup log shows what it printed. Find what it waits for; to allow "
                     "it more time, set “command_timeout” in the service’s definition.",
                     {service(e), command, Catalogue::text(e, {"timeout"})});
}

}  // namespace

void Exception::Catalogue::register_services() {
    register_type("Services", {nullptr, {}, Kind::Failed});
    add_simple("Services::Disabled", "The service “[_1]” is disabled.", Kind::Disabled);
    add("Services::NotConfigured", not_configured, Kind::Absent);
    add("Services::NotInstalled", not_installed, Kind::Absent);
    add_simple("Services::IsDown", "The service “[_1]” is down.");
    add_simple("Services::StartError", "The system failed to start the service “[_1]”.");
    add_simple("Services::StopError", "The system failed to stop the service “[_1]”.");
    add_simple("Services::RestartError", "The system failed to restart the service “[_1]”.");
    add_simple("Services::ReloadError", "The system failed to reload the service “[_1]”.");
    add("Services::BinaryNotFound", binary_not_found, Kind::Failed);
    add("Services::CommandTimedOut", command_timed_out, Kind::Failed);
    add_simple("Services::RoleNotAllowed",
               "The service “[_1]” is not allowed by this server’s role profile.");
    add("Services::Unknown", unknown, Kind::Unknown);
}

}  // namespace Tavrel::Foundation
