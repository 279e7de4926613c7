// Tavrel::Config::OS: facts about the Linux distribution this server runs.
//
//   if (Tavrel::Config::OS::is_systemd()) ... drive the service through systemctl ...
//   std::string unit = Tavrel::Config::OS::systemd_unit_name("sshd");  // "ssh" on Debian
//
// The distribution is identified once per process (Tavrel::Config::OS::SysBootstrap)
// and its facts are data (Tavrel::Config::OS::All). A release the table does not list
// (Debian 14) inherits the facts of its family's nearest release, with a
// notice in the log; the generic Linux facts serve a system of no known
// family, and a fact they cannot answer (its package manager) raises a
// Tavrel::Foundation::PlainError naming the fact. Queries never touch the disk again
// until clear_cache(), except is_systemd(), which asks the running system.
#pragma once

#include "Tavrel/Config/OS/Facts.h"

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Config::OS {

// systemd is the running init exactly when this directory exists.
inline std::string SYSTEMD_RUN_DIR = "/run/systemd/system";

// True when the host is run by systemd right now (not merely able to be):
// a container or a machine booted with another init is driven through init scripts.
bool is_systemd();

// The identity of the distribution: lower-case id and version parts as text.
const std::string& os();  // kernel name, "linux"
const std::string& distro();
const std::string& major();
const std::string& minor();
const std::string& build();

// Facts of the distribution.
const std::string& base_distro();             // family id: "debian", "ubuntu", "rhel"
const std::string& pretty_distro();           // display name, "Debian 12"
// "apt" or "dnf"; PlainError for a system of no known family, as below.
const std::string& package_manager();
const std::string& package_manager_module();  // package-query class: "Apt" or "Yum"
bool retry_rpm_cmd_no_tty_hack();
const std::string& cron_bin_path();
const std::string& maillog_path();
const std::string& setup_tz_method();

// Service name -> systemd unit name, for the services whose unit is named
// differently on this distribution.
const std::map<std::string, std::string>& systemd_service_name_map();
// The systemd unit name for a service: its entry in the map, else the name itself.
std::string systemd_unit_name(std::string_view service);

// What this distribution's package of the daemon `service` is like; nullptr
// when the distribution has no package for it (or the system is not known).
const DaemonFacts* daemon_facts(std::string_view service);

// Any fact by name, as data. A name that is not a fact raises Tavrel::Foundation::PlainError naming it.
nlohmann::json fact(std::string_view name);
std::vector<std::string> supported_methods();  // sorted fact names
// The fact `key` must be a list: is `value` in it? (nullopt: a null element)
bool list_contains_value(std::string_view key, const std::optional<std::string>& value);
void assert_unreachable_on_ubuntu(std::string_view message = {});
// "debian12" -> "Debian 12"; nothing for a target that is not a supported distribution.
std::optional<std::string> lookup_pretty_distro(std::string_view target);

// Drop the per-process facts so the next query identifies the system again.
void clear_cache();
void clear_cache_after_cloudlinux_update();
// Removes the on-disk identity cache (true), unless the identity is forced (false).
bool flush_disk_caches();

}  // namespace Tavrel::Config::OS
