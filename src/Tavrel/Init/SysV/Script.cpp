#include "Tavrel/Init/SysV/Script.h"

#include "Tavrel/Foundation/ErrnoGuard.h"
#include "Tavrel/Foundation/Validate/FilesystemNodeName.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Tavrel::Init::SysV::Script {

bool has_service_via_initd(std::string_view service) {
    if (service.empty())
        return false;
    Foundation::Validate::FilesystemNodeName::validate_or_die(service);
    Foundation::ErrnoGuard keep;
    const std::string path = INIT_D_DIR + "/" + std::string(service);
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

}  // namespace Tavrel::Init::SysV::Script
