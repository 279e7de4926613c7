// Tavrel::Service::Base: the clean-ups that keep a start from failing
// because of leftovers: orphans of a dead unit, and whatever holds the
// service's ports.
#include "Tavrel/Service/Base.h"

#include "Tavrel/Process/Kill/AppPort.h"
#include "Tavrel/Config/PwCache.h"
#include "Tavrel/Init/Doomed.h"
#include "Tavrel/Service/Plan.h"

namespace Tavrel::Service {

void Base::_terminate_orphaned_processes() {
    // Only a unit that systemd reports without processes can have orphans:
    // while it is active, its processes are the service itself, and the
    // init-script backend handles leftovers in its own stop.
    std::optional<Init::UnitProperties> unit = service_manager().service_via_systemd();
    if (!unit)
        return;
    auto sub_state = unit->find("SubState");
    if (sub_state == unit->end() || sub_state->second != SYSTEMD_DEAD_SUBSTATE)
        return;
    std::vector<std::string> rules = doomed_rules();
    if (rules.empty())
        return;
    if (run_options().dry_run) {
        std::string programs;
        for (const auto& rule : rules)
            programs += (programs.empty() ? "" : ", ") + rule;
        Plan::step(*this, "orphans",
                   "Its unit has no process: it would end what the unit left behind of " + programs +
                       " (the service's account's or unit's only).",
                   {{"rules", rules}});
        return;
    }
    if (_doomedprocess(rules, is_debug_enabled()))
        info("The system terminated orphaned processes of the service " + service_name() + ".");
}

bool Base::_doomedprocess(const std::vector<std::string>& rules, bool debug_flag) {
    // By name alone every account's copy of the program would go (php-fpm
    // pool workers of each site): only the service's owner, or its unit.
    std::vector<std::string> owners;
    if (std::string owner = processowner(); !owner.empty())
        owners.push_back(std::move(owner));
    return Init::doomedprocess(rules, debug_flag, 0, owners, systemd_unit_id());
}

namespace {

std::string joined(const std::vector<int>& ports) {
    std::string text;
    for (int port : ports)
        text += (text.empty() ? "" : ", ") + std::to_string(port);
    return text;
}

}  // namespace

Process::Kill::AppPort::Service Base::_port_side() {
    Process::Kill::AppPort::Service side;
    side.addresses = listen_addresses();
    side.owner = Config::PwCache::getpwnam_uid(processowner());
    if (const std::string program = service_binary(); !program.empty())
        side.program = _resolved_path(program);
    side.unit = systemd_unit_id();
    return side;
}

std::optional<bool> Base::kill_apps_on_ports(const std::vector<std::string>& exclude_ips) {
    std::vector<int> list = ports();
    if (list.empty())
        return std::nullopt;
    debug("Ending the processes in the way on the ports of " + service_name() + ": " + joined(list));
    return Process::Kill::AppPort::kill_apps_on_ports(list, Process::Kill::AppPort::VERBOSE, exclude_ips,
                                                      _port_side()) == 1;
}

bool Base::_clear_ports_for_next_attempt() {
    namespace AppPort = Process::Kill::AppPort;
    const std::vector<int> list = ports();
    if (list.empty())
        return true;
    kill_apps_on_ports(std::vector<std::string>{});
    const auto held = AppPort::still_held(list, {}, _port_side(), AppPort::Purpose::ClearTheWay);
    if (held.empty())
        return true;
    const std::string holders = AppPort::describe(held);
    debug("The ports of " + service_name() + " are still held: " + holders);
    start_hint_ += (start_hint_.empty() ? "" : " ") +
                   ("Its port " + joined(list) + " is still held by " + holders +
                    ", which could not be ended, so no second start attempt was made. Free the "
                    "port, then start it again.");
    return false;
}

bool Base::end_own_listeners() {
    namespace AppPort = Process::Kill::AppPort;
    const std::vector<int> list = ports();
    if (list.empty())
        return false;
    debug("Ending what of " + service_name() + " still listens on its ports: " + joined(list));
    const AppPort::Service side = _port_side();
    const bool ended = AppPort::kill_apps_on_ports(list, AppPort::VERBOSE, {}, side,
                                                   AppPort::Purpose::EndOwn) == 1;
    if (const auto left = AppPort::still_held(list, {}, side, AppPort::Purpose::EndOwn); !left.empty())
        warn("The stop of " + service_name() + " could not end what of it listens on its ports: " +
             AppPort::describe(left));
    return ended;
}

}  // namespace Tavrel::Service
