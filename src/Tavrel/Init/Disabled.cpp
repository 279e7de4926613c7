#include "Tavrel/Init/Disabled.h"

#include "Tavrel/Server/Enabled.h"
#include "Tavrel/Foundation/Validate/Service.h"
#include "Tavrel/Init/InstalledQuick.h"

#include <sys/stat.h>

#include <string>

namespace Tavrel::Init {

int is_service_disabled(std::string_view service) {
    if (!Tavrel::Foundation::Validate::Service::is_valid(service))
        return 1;
    if (!_is_installed(service))
        return 1;
    const std::string flag =
        Server::Enabled::FLAG_DIR + "/" + std::string(service) + Server::Enabled::FLAG_SUFFIX;
    struct stat st {};
    return ::stat(flag.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

}  // namespace Tavrel::Init
