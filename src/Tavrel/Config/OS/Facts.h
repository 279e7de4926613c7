// Tavrel::Config::OS::Facts: what one distribution release is like, as plain data.
// One record per supported release lives in Tavrel::Config::OS::All; an unknown
// release of a known distribution family inherits the nearest record of that
// family, and the generic Linux record serves any other system. A fact a
// record cannot answer (the package tools of an unknown system) is left empty
// and asking for it is an error naming it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Tavrel::Config::OS {

// What a distribution's package of a daemon puts where: the program, the pid
// file its init script or unit writes, the packages that carry it and the user
// its worker processes run as (empty: root).
struct DaemonFacts {
    std::string binary;
    std::string pidfile;
    std::vector<std::string> packages;
    std::string processowner;
};

struct Facts {
    std::string class_name;     // "Debian12"; "Linux" for the generic record
    std::string distro;         // lower-case id as the release file gives it
    std::string major;          // major version as text; empty for the generic record
    std::string pretty_distro;  // display name
    std::string base_distro;    // family id
    std::optional<std::string> package_manager;
    std::optional<std::string> package_manager_module;
    bool retry_rpm_cmd_no_tty_hack = false;
    std::string cron_bin_path;
    std::string maillog_path;
    std::string setup_tz_method;
    // The package tools of the family.
    std::optional<std::vector<std::string>> system_package_managers;
    std::map<std::string, std::string> systemd_service_name_map;
    // For an unknown release: the class of the record its facts were taken from.
    std::string inherited_from;
    // Service word -> the distribution's daemon package facts.
    std::map<std::string, DaemonFacts> daemons;
};

}  // namespace Tavrel::Config::OS
