#include "Tavrel/Init/InstalledQuick.h"

#include "Tavrel/Init/SysV/InitFile.h"
#include "Tavrel/Init/Systemd/Systemctl.h"

#include <unistd.h>

#include <algorithm>

namespace Tavrel::Init {

int _is_installed(std::string_view service) {
    if (service == NAMED_SERVICE && ::access(NAMED_BIN.c_str(), X_OK) != 0)
        return 0;
    if (std::find(NAMED_SERVICES.begin(), NAMED_SERVICES.end(), service) == NAMED_SERVICES.end())
        return 1;
    if (Systemd::Systemctl::has_service_via_systemd(service))
        return 1;
    for (const auto& name : NAMED_INIT_SCRIPTS)
        if (SysV::getinitfile(name))
            return 1;
    return 0;
}

}  // namespace Tavrel::Init
