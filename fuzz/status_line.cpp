// A process's command line as the status check reads it from /proc (NUL
// bytes between the words become blanks): whether it is only a process that
// mentions the service (this tool, an init script, a tail, a grep...), and
// the status line made of it. Never an exception; the line names the pid.
#include "Check.h"

#include "Tavrel/Process/ServiceCheck.h"
#include "Tavrel/Process/ServiceCheck/IgnoredCommands.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string command(Fuzz::text(data, size));
    while (!command.empty() && command.back() == '\0')
        command.pop_back();
    for (char& c : command)
        if (c == '\0')
            c = ' ';
    const bool ignored = Tavrel::Process::ServiceCheck::IgnoredCommands::should_ignore_this_command(command);
    if (command.find("zidavoveva") != std::string::npos || command.find("grep ") != std::string::npos)
        FUZZ_CHECK(ignored);
    const std::string line =
        Tavrel::Process::ServiceCheck::format_status_line("exim", command, "mailnull", 4242, "pidfile+proc");
    FUZZ_CHECK(line.find("4242") != std::string::npos);
    FUZZ_CHECK(line.starts_with("exim"));
    return 0;
}
