#include "Tavrel/Server/Apache.h"

#include "Tavrel/Config/OS.h"

namespace Tavrel::Server {

std::string Apache::file_error_log() const {
    auto it = ERROR_LOG_BY_FAMILY.find(Config::OS::base_distro());
    return it == ERROR_LOG_BY_FAMILY.end() ? DEFAULT_ERROR_LOG : it->second;
}

}  // namespace Tavrel::Server
