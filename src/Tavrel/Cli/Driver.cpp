#include "Tavrel/Cli/Driver.h"

#include "Tavrel/Cli/DryRun.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Output/Base.h"
#include "Tavrel/Cli/OutputObject.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Service/Base.h"
#include "Tavrel/Service/Verb.h"
#include "Tavrel/Cli/Parseargv.h"

#include <unistd.h>

#include <charconv>

namespace Tavrel::Cli {

namespace {

// "3" -> 2; nothing for a value that is not a positive number.
std::optional<int> attempt_index(const std::optional<std::string>& given) {
    if (!given || given->empty())
        return std::nullopt;
    int n = 0;
    auto [end, ec] = std::from_chars(given->data(), given->data() + given->size(), n);
    if (ec != std::errc() || end != given->data() + given->size() || n < 1)
        return std::nullopt;
    return n - 1;
}

}  // namespace

void run_from_argv(Tavrel::Service::Base& srv, const std::vector<std::string>& args) {
    run_from_options(srv, parse_options(args));
}

void run_from_options(Tavrel::Service::Base& srv, const ParsedArgv& parsed) {
    if (parsed.force)
        srv.set_call_with_force(true);
    // Programs that drive the tool (fleet engines) read one JSON record per
    // message; --json wins over HTML.
    srv.set_output_obj(output_object_for(parsed));
    srv.set_verbose(parsed.verbose);
    if (auto index = attempt_index(parsed.restart_attempt))
        srv.set_current_restart_attempt(*index);

    const Tavrel::Service::VerbRow& verb = Tavrel::Service::row_of(parsed.verb);
    if (verb.needs_root && effective_uid() != 0) {
        // Tried anyway, the action would fail halfway on a permission error
        // and leave a confusing message; anyone may still ask for the status.
        throw Foundation::PlainError("Only root can stop, start, restart or reload “" + srv.service() +
                         "”; nothing was done. Run it as root, or ask with --status.");
    }
    // The plan's first steps go out as the run's output asks, before the
    // verb's own code says the rest.
    if (parsed.run.dry_run)
        DryRun::introduce(srv);
    run_verb(parsed.verb, srv, parsed);
}

void run_verb(Tavrel::Service::Verb verb, Tavrel::Service::Base& srv, const ParsedArgv& parsed) {
    using Tavrel::Service::Verb;
    // No default: a verb added to the table without its handler here fails
    // to compile (-Wswitch).
    switch (verb) {
    case Verb::Status: return Driver::status(srv, parsed);
    case Verb::Check: return Driver::check(srv, parsed);
    case Verb::Stop: return Driver::stop(srv, parsed);
    case Verb::Reload: return Driver::reload(srv, parsed);
    case Verb::Restart:
    case Verb::Start: return Driver::restart(srv, parsed);
    }
}

namespace Driver {

void status(Tavrel::Service::Base& srv, const ParsedArgv&) {
    srv.set_service_argv_action(Tavrel::Service::Verb::Status);
    srv.output(srv.status());
}

void check(Tavrel::Service::Base& srv, const ParsedArgv& parsed) {
    if (parsed.checkmode_header)
        srv.output(CHECKMODE_HEADER);
    srv.set_service_argv_action(Tavrel::Service::Verb::Check);
    auto [ok, message] = srv.check_with_message();
    if (!ok)
        throw Foundation::Exception::create("Services::IsDown", {{"service", srv.service()}});
    if (!message.empty() && message.back() == '\n')
        message.pop_back();
    std::string line = CHECK_LINE_LEAD + " “" + srv.service() + "” is running";
    if (!message.empty())
        line += ": " + message;
    srv.output(line);
}

void stop(Tavrel::Service::Base& srv, const ParsedArgv&) {
    srv.set_service_argv_action(Tavrel::Service::Verb::Stop);
    srv.stop();
}

void restart(Tavrel::Service::Base& srv, const ParsedArgv& parsed) {
    srv.set_service_argv_action(Tavrel::Service::Verb::Restart);
    if (srv.restart(parsed.graceful).empty())
        throw Foundation::Exception::create("Services::RestartError", {{"service", srv.service()}});
}

void reload(Tavrel::Service::Base& srv, const ParsedArgv&) {
    srv.set_service_argv_action(Tavrel::Service::Verb::Reload);
    // Asked of any service, it is no failure; the run says it did nothing.
    if (!srv.support_reload()) {
        srv.set_nothing_done(srv.cannot_reload_reason());
        return;
    }
    if (!srv.reload())
        throw Foundation::Exception::create("Services::ReloadError", {{"service", srv.service()}});
}

}  // namespace Driver

}  // namespace Tavrel::Cli
