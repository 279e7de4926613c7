#include "Tavrel/ServiceManager/Driver.h"

#include "Tavrel/Exception.h"
#include "Tavrel/Output.h"
#include "Tavrel/Output/Formatted/HTML.h"
#include "Tavrel/Output/Formatted/Terminal.h"
#include "Tavrel/PlainError.h"
#include "Tavrel/ServiceManager/Base.h"
#include "Tavrel/ZidavovEva/Argv.h"
#include "Tavrel/ZidavovEva/Parseargv.h"

#include <algorithm>
#include <charconv>

namespace Tavrel::ServiceManager {

namespace {

bool any_equals(const std::vector<std::string>& args, std::initializer_list<std::string_view> words) {
    return std::any_of(args.begin(), args.end(), [&](const std::string& a) {
        return std::find(words.begin(), words.end(), a) != words.end();
    });
}

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
    ZidavovEva::ParsedArgv parsed;
    std::optional<bool> graceful;
    {
        ZidavovEva::ArgvGuard lend(args);
        parsed = ZidavovEva::parseargv();
        graceful = parsed.graceful;
        if (any_equals(args, {"--no-graceful", "--nograceful"}))
            graceful = false;
        if (any_equals(args, {"--force", "-f"}))
            srv.set_call_with_force(true);
        const bool html = std::any_of(args.begin(), args.end(), [](const std::string& a) {
            return a.find("html") != std::string::npos;
        });
        // Programs that drive the tool (fleet engines) read one JSON record per
        // message; --json wins over HTML.
        if (parsed.json)
            srv.set_output_obj(std::make_shared<Output::Base>());
        else if (html)
            srv.set_output_obj(std::make_shared<Output::Formatted::HTML>());
        else
            srv.set_output_obj(std::make_shared<Output::Formatted::Terminal>());
    }
    srv.set_verbose(parsed.verbose);
    if (auto index = attempt_index(parsed.restart_attempt))
        srv.set_current_restart_attempt(*index);
    const Exception::Metadata params = {{"service", srv.service()}};

    if (parsed.check) {
        if (parsed.json && parsed.checkmode_header)
            srv.output(ZidavovEva::CHECKMODE_HEADER);
        srv.set_service_argv_action("CHECK");
        auto [ok, message] = srv.check_with_message();
        if (!ok)
            throw Exception::create("Services::IsDown", params);
        if (!message.empty() && message.back() == '\n')
            message.pop_back();
        std::string line = CHECK_LINE_LEAD + " “" + srv.service() + "” is running";
        if (!message.empty())
            line += ": " + message;
        srv.output(line);
        return;
    }
    if (parsed.status) {
        srv.set_service_argv_action("STATUS");
        srv.output(srv.status());
        return;
    }
    if (parsed.mode != 0 && effective_uid() != 0) {
        // Tried anyway, the action would fail halfway on a permission error
        // and leave a confusing message; anyone may still ask for the status.
        throw PlainError("Only root can stop, start, restart or reload “" + srv.service() +
                         "”; nothing was done. Run it as root, or ask with --status.");
    }
    switch (parsed.mode) {
        case ZidavovEva::STOP:
            srv.set_service_argv_action("STOP");
            srv.stop();
            break;
        case ZidavovEva::RESTART:
            srv.set_service_argv_action("RESTART");
            if (srv.restart(graceful).empty())
                throw Exception::create("Services::RestartError", params);
            break;
        case ZidavovEva::RELOAD:
            if (!srv.support_reload())
                break;  // nothing to do for a service that cannot reload
            srv.set_service_argv_action("RELOAD");
            if (!srv.reload())
                throw Exception::create("Services::ReloadError", params);
            break;
        default: break;
    }
}

}  // namespace Tavrel::ServiceManager
