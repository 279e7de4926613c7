#include "Tavrel/Server/Monitor/Config.h"

#include "Tavrel/Foundation/Validate/Service.h"

#include <sys/stat.h>

namespace Tavrel::Svcwatch::Config {

bool has_entry(std::string_view service) {
    if (!Validate::Service::is_valid(service))
        return false;
    std::string path = SVCWATCH_DIR + "/" + std::string(service);
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace Tavrel::Svcwatch::Config
