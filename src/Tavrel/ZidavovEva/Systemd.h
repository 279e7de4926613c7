// Tavrel::ZidavovEva::Systemd: queries and commands on one systemd unit,
// all through the systemctl program (never over the bus).
//
//   if (auto props = has_service_via_systemd("cron")) {
//       auto pid = get_pid_via_systemd("cron", *props);   // main pid or nullopt
//   }
//
// The query functions accept "cron" or "cron.service"; stop_via_systemd and
// restart_via_systemd take the base name. Queries run systemctl with a fixed
// LANG and TZ in that child's environment only. Failures of systemctl are
// results (empty maps, empty lists, nullopt), never exceptions; the functions
// that need systemd raise a PlainError when the host does not run it.
#pragma once

#include "Tavrel/ServiceManager/Manager/Backend.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace Tavrel::ZidavovEva::Systemd {

using UnitProperties = Tavrel::ServiceManager::Manager::UnitProperties;

inline std::string SYSTEMCTL = "/bin/systemctl";

UnitProperties get_service_info_via_systemd(std::string_view unit);
// The unit's properties when the host runs systemd and the unit is usable;
// nullopt otherwise (no such unit, or one generated from an init script).
std::optional<UnitProperties> has_service_via_systemd(std::string_view unit);
std::optional<pid_t> get_pid_via_systemd(std::string_view unit,
                                         const std::optional<UnitProperties>& props = std::nullopt);
std::vector<pid_t> get_pids_via_systemd(std::string_view unit);
// (ActiveState, exit code word, exit signal word), each possibly absent.
std::tuple<std::optional<std::string>, std::optional<std::string>, std::optional<std::string>>
get_code_and_signal_via_systemd(std::string_view unit);
std::optional<std::string> get_status_via_systemd(std::string_view unit);
std::optional<std::string> stop_via_systemd(std::string_view base_name);
std::pair<std::optional<std::string>, std::optional<std::string>> restart_via_systemd(
    std::string_view base_name);

}  // namespace Tavrel::ZidavovEva::Systemd
