// Tavrel::Service::Plan: what a dry run (--dry-run) says it would do, one
// step at a time. A dry run goes through the action's own code and takes
// every decision the real run would take (the same status look, the same
// checks, the same configuration test); only where the real run would change
// the system does it say what it would change instead, so the plan cannot
// drift from what a run does.
//
//   Plan::step(srv, "suspend", "It would suspend the monitor for “crond” ...",
//              {{"file", "/var/tavrel/svcwatch/suspended/crond"}});
//
// On a terminal each step is one line; with --json one record of type "plan":
//   {"type":"plan","contents":{"step":"suspend","says":"...","facts":{...}}}
#pragma once

#include <nlohmann/json.hpp>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Service {
class Base;
}

namespace Tavrel::Service::Plan {

inline constexpr std::string_view RECORD_TYPE = "plan";

void step(Base& srv, std::string_view name, const std::string& says,
          nlohmann::ordered_json facts = nlohmann::ordered_json::object());

// How the run drives the service, for a sentence: "systemd (unit
// cron.service)", "its init script /etc/init.d/cron", "its program
// /usr/sbin/x".
std::string init_system_of(Base& srv);

// Each process as {"pid", "program", "owner"}, in the order given; a pid
// that has gone meanwhile is left out.
nlohmann::ordered_json processes(const std::vector<pid_t>& pids);
// "pid 412 (/usr/sbin/cron, root), pid 9 (...)"; "none" for an empty list.
std::string describe(const nlohmann::ordered_json& processes);

}  // namespace Tavrel::Service::Plan
