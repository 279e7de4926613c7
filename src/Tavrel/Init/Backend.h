// Tavrel::Init::Backend: the init-system backend a service
// object owns (Systemd or Initd).
//
// start and stop are required. The optional operations answer std::nullopt
// when this backend has no such operation, so the service core can tell "not
// there" from "said no":
//
//   if (auto r = backend.restart(svc)) return *r;     // one-step restart
//   else { backend.stop(svc); backend.start(svc); }   // no restart operation
#pragma once

#include "Tavrel/Init/Service.h"

#include <sys/types.h>

#include <map>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

namespace Tavrel::Init {

// A unit's properties by name, as systemctl prints them.
using UnitProperties = std::map<std::string, std::string>;

// What an init system that supervises a daemon says of it right after a
// start: two of these, taken a moment apart, tell whether it restarted the
// daemon meanwhile (a daemon that crashes and is brought back looks up at
// every single look).
struct StartMarks {
    std::optional<long> restarts;  // restarts the init system made on its own
    std::optional<long> main_pid;  // the daemon's main process; nothing: none known
};

// What an init system that keeps a service's processes together (systemd's
// control groups) still counts of it after a stop.
struct Remains {
    std::string unit;
    std::string state;      // ActiveState
    std::string sub_state;  // SubState
    // Nothing under way: not starting, stopping or waiting to be restarted.
    bool at_rest = true;
    std::optional<pid_t> main_pid;
    std::vector<pid_t> pids;  // every process of its group
    // The init system stops only the main process: the others are the work
    // the daemon handed out (a cron job, an SSH session), left on purpose.
    bool main_process_only = false;
};

class Backend {
  public:
    virtual ~Backend() = default;

    // "Tavrel::ServiceManager::Manager::Systemd" or "...::Initd".
    virtual std::string class_name() const = 0;

    virtual bool start(Service& svc) = 0;
    virtual bool stop(Service& svc) = 0;
    // This run was started by init/systemd as the unit's own start or stop
    // command.
    virtual bool this_process_was_executed_by_systemd() const = 0;

    virtual std::optional<bool> restart(Service&) { return std::nullopt; }
    virtual std::optional<bool> reload(Service&) { return std::nullopt; }
    // Whether restart() or reload() ("restart", "reload") does something of
    // its own here: without, a restart is a stop and a start, and a reload
    // does nothing. A dry run asks this instead of calling them.
    virtual bool has_operation(std::string_view /*operation*/) { return false; }
    virtual std::optional<bool> restart_attempt(Service&, int /*attempt*/) { return std::nullopt; }
    // Before a stop meant to last: stops what would start the service again
    // on demand, so that it stays stopped.
    virtual std::optional<bool> stop_triggers(Service&) { return std::nullopt; }
    // The status text (empty: not running); nullopt when the backend leaves
    // the status to the service core.
    virtual std::optional<std::string> status_helper(Service&) { return std::nullopt; }
    virtual std::optional<bool> check(Service&, const std::string& /*status_text*/) {
        return std::nullopt;
    }
    virtual std::optional<bool> is_up(Service&) { return std::nullopt; }
    // Whether the init system has something of the service under way that
    // does not count as up (a unit still starting, or waiting to be
    // restarted): a stop must still end it.
    virtual bool is_under_way(Service&) { return false; }
    // Whether the init system itself may start the service while a restart
    // stops it (a socket that starts it at the next connection, a unit it
    // restarts): then a daemon born during that stop is the service started
    // anew. Under an init script nothing does; such a daemon is another
    // start's (one whose run was killed), and the stop has left it running.
    virtual bool starts_services_by_itself() const { return false; }
    // After a failed start: what the init system says kept the service from
    // starting and how an administrator lifts it, when that is something the
    // start itself cannot mend; empty when there is nothing to say.
    virtual std::string start_refusal_hint(Service&) { return {}; }
    // See StartMarks; nullopt for a backend that does not supervise daemons.
    virtual std::optional<StartMarks> start_marks(Service&) { return std::nullopt; }
    // Whether the init system has finished a start and keeps nothing of the
    // service running or starting (a unit that failed, or is inactive):
    // waiting longer for it to come up is pointless. nullopt: the backend
    // cannot tell, the service core looks for the service's processes.
    virtual std::optional<bool> start_is_over(Service&) { return std::nullopt; }
    // The unit record captured when the backend was chosen; nullopt for a
    // backend that has none.
    virtual std::optional<UnitProperties> service_via_systemd() const { return std::nullopt; }
    // Whether the init system knows the service's processes itself, so that
    // nothing found in the process table is the service unless it says so.
    virtual bool knows_the_services_processes() const { return false; }
    // See Remains, looked at afresh; nullopt from an init system that does not
    // keep the processes together (the caller looks for them itself).
    virtual std::optional<Remains> remains(Service&) { return std::nullopt; }
    // What keeps the init system from starting the service at all, which an
    // administrator has to lift (a masked unit), with how; empty when nothing.
    virtual std::string start_blocker() const { return {}; }
    // The init script that starts and stops the service; empty when none.
    virtual std::string init_script() { return {}; }
};

}  // namespace Tavrel::Init
