#include "Tavrel/Init/Choice.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Init/SysV/Backend.h"
#include "Tavrel/Init/SysV/InitFile.h"
#include "Tavrel/Init/Systemd/Backend.h"
#include "Tavrel/Init/Systemd/Systemctl.h"

namespace Tavrel::Init {

BackendChoice choose_backend(const std::string& name, const RunOptions& run) {
    // A run that is a unit's own start or stop command must not call back
    // into systemctl for that unit.
    if (run.systemd_unit_command || run.started_by_init) {
        return {std::make_unique<SysV::Backend>(SysV::Backend::Options{.service = name,
                                                                     .this_process_was_executed_by_systemd = true,
                                                                     .started_by_init = run.started_by_init}),
                ""};
    }
    // Asked to leave systemd out: the init script starts and stops the
    // service, and its process is found without systemctl. The script is
    // looked up even where the service has a unit (the usual lookup skips
    // it there, and the service's bare program would be run instead).
    if (run.ignore_systemd) {
        return {std::make_unique<SysV::Backend>(SysV::Backend::Options{
                    .service = name, .init_script = SysV::find_init_script(name).value_or("")}),
                ""};
    }
    const std::string unit = Config::OS::systemd_unit_name(name);
    if (auto info = Systemd::Systemctl::has_service_via_systemd(unit)) {
        return {std::make_unique<Systemd::Backend>(Systemd::Backend::Options{.service = unit,
                                                                           .service_via_systemd = *info,
                                                                           .snapshot_is_current = true,
                                                                           .started_by_init = run.started_by_init}),
                ""};
    }
    return {std::make_unique<SysV::Backend>(SysV::Backend::Options{.service = name}), unit};
}

}  // namespace Tavrel::Init
