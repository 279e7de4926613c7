// systemctl's text: `systemctl show` Key=Value lines and `systemctl status`
// listings (the control group's pids, the main process's exit). What comes
// back must be what the text holds: property names of name characters only,
// values of one line, pids above 1, exit words without their separators.
#include "Check.h"

#include "Tavrel/Init/Systemd/Systemctl.h"

#include <string>

namespace Systemd = Tavrel::Init::Systemd::Systemctl;

namespace {

bool name_chars(const std::string& s) {
    return !s.empty() && s.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                             "abcdefghijklmnopqrstuvwxyz0123456789_") ==
                             std::string::npos;
}

void check_word(const std::optional<std::string>& word, const char* forbidden) {
    if (!word)
        return;
    FUZZ_CHECK(!word->empty());
    FUZZ_CHECK(word->find_first_of(forbidden) == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = Fuzz::text(data, size);

    auto props = Systemd::parse_show(text);
    std::size_t lines = 1;
    for (char c : text)
        lines += c == '\n';
    FUZZ_CHECK(props.size() <= lines);
    for (const auto& [key, value] : props) {
        FUZZ_CHECK(name_chars(key));
        FUZZ_CHECK(value.find('\n') == std::string::npos);
        FUZZ_CHECK(text.find(key + "=" + value) != std::string_view::npos ||
                   (value.empty() && text.find(key) != std::string_view::npos));
    }
    (void)Systemd::is_usable_unit(props);
    if (auto it = props.find("MainPID"); it != props.end()) {
        if (auto pid = Systemd::parse_pid(it->second))
            FUZZ_CHECK(*pid > 1 && std::stol(it->second) == *pid);
    }

    auto pids = Systemd::parse_cgroup_pids(text);
    FUZZ_CHECK(pids.size() <= lines);
    for (pid_t pid : pids)
        FUZZ_CHECK(pid > 1);

    auto [state, code, signal] = Systemd::parse_code_and_signal(text);
    check_word(state, " \t\n");
    check_word(code, ",) \n");
    check_word(signal, ",) \n");

    // The unit name made of any word names a service unit.
    std::string line(text.substr(0, text.find('\n')));
    FUZZ_CHECK(Systemd::unit_name(line).ends_with(".service"));
    return 0;
}
