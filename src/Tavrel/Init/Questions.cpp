#include "Tavrel/Init/Questions.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Init/SysV/Script.h"
#include "Tavrel/Init/Systemd/Systemctl.h"

#include <sys/stat.h>
#include <unistd.h>

namespace Tavrel::Init {

namespace Sd = Systemd::Systemctl;

bool has_init_script(const std::string& service) {
    const std::string path = SysV::Script::INIT_D_DIR + "/" + service;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool has_usable_unit(const std::string& service) {
    return Sd::has_service_via_systemd(Config::OS::systemd_unit_name(service)).has_value();
}

std::string unit_id_from_files(const std::string& service) {
    return Sd::unit_id_from_files(Config::OS::systemd_unit_name(service));
}

std::optional<std::string> stopping_signal_of(const std::string& unit) {
    auto [state, code, signal] = Sd::get_code_and_signal_via_systemd(unit);
    if (state == "deactivating" && code == "killed" && (signal == "TERM" || signal == "KILL"))
        return signal;
    return std::nullopt;
}

LookAtOnce::LookAtOnce(const std::vector<std::string>& services) {
    std::vector<std::string> units;
    units.reserve(services.size());
    for (const auto& service : services)
        units.push_back(Config::OS::systemd_unit_name(service));
    batch_ = std::make_unique<Sd::Batch>(units);
}

LookAtOnce::~LookAtOnce() = default;

}  // namespace Tavrel::Init
