// The text of a pid file as the readers take it: the pid-file reader every
// status check, stop and graceful restart goes through, and systemd's
// MainPID. A pid is only ever a number above 1 that stands in the first line;
// where that line is a plain number, both readers take the same one.
#include "Check.h"

#include "Tavrel/Process/PidFile.h"
#include "Tavrel/Init/Systemd/Systemctl.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = Fuzz::text(data, size);
    const auto tiny = Tavrel::Process::PidFile::pid_from_text(text);
    const auto line = text.substr(0, text.find('\n'));
    const auto systemd = Tavrel::Init::Systemd::Systemctl::parse_pid(line);
    for (const auto& pid : {tiny, systemd}) {
        if (pid) {
            FUZZ_CHECK(*pid > 1);
            FUZZ_CHECK(line.find(std::to_string(*pid)) != std::string_view::npos);
        }
    }
    const bool plain = !line.empty() && line.size() <= 9 && line[0] != '0' &&
                       line.find_first_not_of("0123456789") == std::string_view::npos;
    if (plain && std::stol(std::string(line)) > 1) {
        FUZZ_CHECK(tiny && systemd);
        FUZZ_CHECK(*tiny == *systemd);
    }
    return 0;
}
