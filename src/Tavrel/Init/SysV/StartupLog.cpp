#include "Tavrel/Init/SysV/StartupLog.h"

#include "Tavrel/Foundation/Validate/FilesystemNodeName.h"

namespace Tavrel::Init::SysV::StartupLog {

std::string get_service_name_from_legacy_name(std::string_view service) {
    if (service.find("ftp") != std::string_view::npos)
        return "ftpd";
    if (service.find("exim") != std::string_view::npos)
        return "exim";
    if (service == "apache")
        return "httpd";
    if (service == "imap" || service == "pop")
        return "dovecot";
    return std::string(service);
}

std::string startup_log_path(std::string_view service) {
    Foundation::Validate::FilesystemNodeName::validate_or_die(service);
    return STARTUP_LOG_DIR + "/" + get_service_name_from_legacy_name(service);
}

}  // namespace Tavrel::Init::SysV::StartupLog
