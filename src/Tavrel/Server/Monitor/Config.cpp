#include "Tavrel/Server/Monitor/Config.h"

#include "Tavrel/Foundation/Validate/Service.h"

#include <sys/stat.h>

namespace Tavrel::Server::Monitor::Config {

bool has_entry(std::string_view service) {
    if (!Tavrel::Foundation::Validate::Service::is_valid(service))
        return false;
    std::string path = SVCWATCH_DIR + "/" + std::string(service);
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace Tavrel::Server::Monitor::Config
