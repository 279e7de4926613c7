#include "Tavrel/Cli/Driver.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Output/Base.h"
#include "Tavrel/Output/Formatted/HTML.h"
#include "Tavrel/Output/Formatted/Terminal.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Service/Base.h"
#include "Tavrel/Service/Verb.h"
#include "Tavrel/Cli/Parseargv.h"

#include <unistd.h>

#include <charconv>

namespace Tavrel::ServiceManager {

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

void run_from_argv(Base& srv, const std::vector<std::string>& args) {
    run_from_options(srv, ZidavovEva::parse_options(args));
}

void run_from_options(Base& srv, const ZidavovEva::ParsedArgv& parsed) {
    if (parsed.force)
        srv.set_call_with_force(true);
    // Programs that drive the tool (fleet engines) read one JSON record per
    // message; --json wins over HTML.
    if (parsed.json)
        srv.set_output_obj(std::make_shared<Output::Base>());
    else if (parsed.html)
        srv.set_output_obj(std::make_shared<Output::Formatted::HTML>());
    else
        srv.set_output_obj(std::make_shared<Output::Formatted::Terminal>());
    srv.set_verbose(parsed.verbose);
    if (auto index = attempt_index(parsed.restart_attempt))
        srv.set_current_restart_attempt(*index);

    const VerbRow& verb = row_of(parsed.verb);
    if (verb.needs_root && effective_uid() != 0) {
        // Tried anyway, the action would fail halfway on a permission error
        // and leave a confusing message; anyone may still ask for the status.
        throw PlainError("Only root can stop, start, restart or reload “" + srv.service() +
                         "”; nothing was done. Run it as root, or ask with --status.");
    }
    verb.handler(srv, parsed);
}

namespace Driver {

void status(Base& srv, const ZidavovEva::ParsedArgv&) {
    srv.set_service_argv_action(Verb::Status);
    srv.output(srv.status());
}

void check(Base& srv, const ZidavovEva::ParsedArgv& parsed) {
    if (parsed.checkmode_header && parsed.json) {
        srv.output(ZidavovEva::CHECKMODE_HEADER);
    } else if (parsed.checkmode_header) {
        const std::string line = ZidavovEva::CHECKMODE_HEADER + "\n";
        (void)!::write(STDOUT_FILENO, line.data(), line.size());
    }
    srv.set_service_argv_action(Verb::Check);
    auto [ok, message] = srv.check_with_message();
    if (!ok)
        throw Exception::create("Services::IsDown", {{"service", srv.service()}});
    if (!message.empty() && message.back() == '\n')
        message.pop_back();
    std::string line = CHECK_LINE_LEAD + " “" + srv.service() + "” is running";
    if (!message.empty())
        line += ": " + message;
    srv.output(line);
}

void stop(Base& srv, const ZidavovEva::ParsedArgv&) {
    srv.set_service_argv_action(Verb::Stop);
    srv.stop();
}

void restart(Base& srv, const ZidavovEva::ParsedArgv& parsed) {
    srv.set_service_argv_action(Verb::Restart);
    if (srv.restart(parsed.graceful).empty())
        throw Exception::create("Services::RestartError", {{"service", srv.service()}});
}

void reload(Base& srv, const ZidavovEva::ParsedArgv&) {
    if (!srv.support_reload())
        return;
    srv.set_service_argv_action(Verb::Reload);
    if (!srv.reload())
        throw Exception::create("Services::ReloadError", {{"service", srv.service()}});
}

}  // namespace Driver

}  // namespace Tavrel::ServiceManager
