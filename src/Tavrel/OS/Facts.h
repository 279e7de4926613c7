// Tavrel::OS::Facts: what one distribution release is like, as plain data.
// One record per supported release lives in Tavrel::OS::All; the generic Linux
// record serves any other system.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace Tavrel::OS {

struct Facts {
    std::string class_name;     // "Debian12"; "Linux" for the generic record
    std::string distro;         // lower-case id as the release file gives it
    std::string major;          // major version as text; empty for the generic record
    std::string pretty_distro;  // display name
    std::string base_distro;    // family id
    std::string package_manager;
    std::string package_manager_module;
    bool retry_rpm_cmd_no_tty_hack = false;
    std::string cron_bin_path;
    std::string maillog_path;
    std::string setup_tz_method;
    std::vector<std::string> system_package_managers;  // the package tools of the family
    std::map<std::string, std::string> systemd_service_name_map;
};

}  // namespace Tavrel::OS
