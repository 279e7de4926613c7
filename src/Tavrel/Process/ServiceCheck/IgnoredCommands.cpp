#include "Tavrel/Process/ServiceCheck/IgnoredCommands.h"

#include "Tavrel/Foundation/Regex.h"

#include <array>

namespace Tavrel::Process::ServiceCheck::IgnoredCommands {

namespace {

bool has(std::string_view command, std::string_view text) {
    return command.find(text) != std::string_view::npos;
}

// Each names a kind of process whose command line carries a service's name
// without being that service.
constexpr std::array<std::string_view, 5> FIRST_SUBSTRINGS = {
    "zidavoveva",  // this tool itself: its invocation names carry the service word
    "/init.d/",    // a SysV init script run for the service
    "systemctl",   // the systemd control program acting on the service's unit
    "journalctl",  // someone reading the service's journal
    "tail -f",     // someone following the service's log
};
constexpr std::array<std::string_view, 4> LAST_SUBSTRINGS = {
    "strace",     // a tracer attached to, or starting, the service
    "gdb ",       // a debugger attached to, or starting, the service
    "logrotate",  // the log rotation job, whose configuration names every service
    "grep ",      // a search for the service's name ("ps ax | grep exim", pgrep, egrep)
};

}  // namespace

bool should_ignore_this_command(std::string_view command) {
    static const Foundation::Regex logtail(R"(\blogtaild - [A-Za-z])");
    static const Foundation::Regex dovecot(R"(\bdovecot/(?:anvil|log|pop|config|lmtp|imap|auth)\b)");
    static const Foundation::Regex start_stop(R"((?:^(?:start|stop)\S+|/(?:start|stop)\S+))");
    static const Foundation::Regex spamd_3rdparty(R"(/3rdparty(?:/perl/[0-9]+)?/bin/spamd)");
    static const Foundation::Regex own_script(R"(perl\s+.*/scripts|perl\s+.*/usr/local/tavrel)");

    if (has(command, "logtaild") && logtail.test(command))
        return true;
    if (has(command, "dovecot/") && dovecot.test(command))
        return true;
    if ((has(command, "start") || has(command, "stop")) && start_stop.test(command))
        return true;
    for (auto s : FIRST_SUBSTRINGS)
        if (has(command, s))
            return true;
    if (has(command, "perl") && !spamd_3rdparty.test(command) && own_script.test(command))
        return true;
    for (auto s : LAST_SUBSTRINGS)
        if (has(command, s))
            return true;
    return false;
}

}  // namespace Tavrel::Process::ServiceCheck::IgnoredCommands
