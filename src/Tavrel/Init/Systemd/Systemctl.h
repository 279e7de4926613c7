// Tavrel::Init::Systemd::Systemctl: queries and commands on one systemd unit,
// all through the systemctl program (never over the bus).
//
//   if (auto props = has_service_via_systemd("cron")) {
//       auto pid = get_pid_via_systemd("cron", *props);   // main pid or nullopt
//   }
//
// The query functions accept "cron" or "cron.service"; stop_via_systemd and
// restart_via_systemd take the base name. Queries run systemctl with a fixed
// LANG and TZ in that child's environment only (this process's environment is
// never changed). Failures of systemctl are results (empty maps, empty lists,
// nullopt), never exceptions; the functions that need systemd raise a
// PlainError when the host does not run it.
//
// The parse_* functions turn systemctl's text into data; they are pure, so
// they are tested against output captured from a real systemd (testdata/).
#pragma once

#include "Tavrel/Init/Backend.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace Tavrel::Init::Systemd::Systemctl {

using UnitProperties = Init::UnitProperties;

inline std::string SYSTEMCTL = "/bin/systemctl";

// The unit suffix of a service, and the separator of a unit's name and type.
inline constexpr std::string_view SERVICE_TYPE = "service";
inline constexpr std::string_view SERVICE_SUFFIX = ".service";

// LANG and TZ of every query's systemctl: its words and times then do not
// depend on the administrator's locale.
inline std::string QUERY_LANG = "C";
inline std::string QUERY_TZ = "UTC";

// Directories whose unit files systemd drives natively. /run/systemd/system
// holds runtime units an administrator or a tool put there on purpose, so it
// counts too; a unit generated from an init script lies under
// /run/systemd/generator* instead and is left to the init script.
inline std::vector<std::string> UNIT_FILE_DIRS = {"/lib/systemd/system/",
                                                  "/usr/lib/systemd/system/",
                                                  "/etc/systemd/system/", "/run/systemd/system/"};
// Every directory systemd loads system units from (its unit search path). A
// unit with no entry in any of them, and not held in systemd's memory, is one
// systemd does not have: a listing need not ask it about such a unit.
inline std::vector<std::string> UNIT_SEARCH_DIRS = {
    "/etc/systemd/system.control/", "/run/systemd/system.control/", "/run/systemd/transient/",
    "/run/systemd/generator.early/", "/etc/systemd/system/",        "/etc/systemd/system.attached/",
    "/run/systemd/system/",          "/run/systemd/system.attached/", "/run/systemd/generator/",
    "/usr/local/lib/systemd/system/", "/lib/systemd/system/",        "/usr/lib/systemd/system/",
    "/run/systemd/generator.late/"};
// The fragment of a masked unit: systemd still owns it.
inline std::string NULL_DEVICE = "/dev/null";

// The properties asked for by get_service_info_via_systemd, in this order.
inline const std::vector<std::string> needs_systemd_show_keys = {
    "Id",      "Type",         "LoadState",     "ActiveState",   "SubState",
    "MainPID", "PIDFile",      "FragmentPath",  "UnitFileState", "Result",
    "ExecMainCode", "ExecMainStatus", "TimeoutStartUSec", "TimeoutStopUSec"};

// A systemctl that starts, stops, restarts or reloads a unit waits until
// systemd has done the job, which a unit without a time-out
// (TimeoutStartSec=infinity, the default of Type=oneshot) may never finish.
// Such a call is ended after the unit's own time-outs for the job plus
// CALL_MARGIN seconds, and never later than CALL_BOUND_MAX: the run lock of
// the other runs and the service monitor give up after as long. systemd goes
// on with the job; the caller says what state the unit is in.
inline double CALL_MARGIN = 15;
inline double CALL_BOUND_MAX = 196;
// Queries wait for no job; this bounds a systemd that does not answer.
inline double QUERY_TIMEOUT = 60;

// systemd's words for the states compared here.
inline constexpr std::string_view LOADED = "loaded";
inline constexpr std::string_view NOT_FOUND = "not-found";
// A unit its administrator masked: systemd starts it for no one.
inline constexpr std::string_view MASKED = "masked";
// The KillMode of a unit whose stop ends only its main process.
inline constexpr std::string_view KILL_MODE_MAIN_ONLY = "process";
inline constexpr std::string_view ACTIVE = "active";
// The two states of a unit that has nothing under way: stopped, or stopped
// after a failure. Every other state (activating, deactivating, reloading...)
// has processes or a job that a stop must end.
inline constexpr std::string_view INACTIVE = "inactive";
inline constexpr std::string_view FAILED = "failed";
// Being stopped: its main process may still run (one slow to end on TERM).
inline constexpr std::string_view DEACTIVATING = "deactivating";
// Being started: its program may run already, before systemd calls it up.
inline constexpr std::string_view ACTIVATING = "activating";
// Sub-states of a unit being started in which only the commands before its
// program run (a configuration test such as `sshd -t`, which may be the
// service's own program).
inline const std::vector<std::string_view> BEFORE_THE_PROGRAM = {"condition", "start-pre"};
// Reloading is active too (systemctl is-active says so).
inline constexpr std::string_view RELOADING = "reloading";
// An active unit in this sub-state without a main pid still has processes.
inline constexpr std::string_view RUNNING = "running";
// The type of the units that start a service at a connection.
inline constexpr std::string_view SOCKET_SUFFIX = ".socket";
// The Result of a unit whose starts systemd refuses for its start limit.
inline constexpr std::string_view START_LIMIT_HIT = "start-limit-hit";

UnitProperties get_service_info_via_systemd(std::string_view unit);
// Only the named properties (one systemctl run; an empty map when it fails).
UnitProperties get_properties_via_systemd(std::string_view unit,
                                          const std::vector<std::string>& keys);
// The unit's properties when the host runs systemd and the unit is usable;
// nullopt otherwise (no such unit, one generated from an init script, or no
// answer at all to an account other than root, which has no system bus).
std::optional<UnitProperties> has_service_via_systemd(std::string_view unit);
// The main pid: systemd's MainPID, else (active, running, no main pid) the
// first process of its control group, else the running pid of its PIDFile.
std::optional<pid_t> get_pid_via_systemd(std::string_view unit,
                                         const std::optional<UnitProperties>& props = std::nullopt);
// The processes of the unit's control group, in systemctl's order.
std::vector<pid_t> get_pids_via_systemd(std::string_view unit);
// (ActiveState, exit code word, exit signal word), each possibly absent:
// ("inactive", "killed", "TERM") after a TERM, ("inactive", "exited", nullopt)
// after a normal exit.
using CodeAndSignal =
    std::tuple<std::optional<std::string>, std::optional<std::string>, std::optional<std::string>>;
CodeAndSignal get_code_and_signal_via_systemd(std::string_view unit);
// The ActiveState of a loaded unit, else nullopt.
std::optional<std::string> get_status_via_systemd(std::string_view unit);
// The ActiveState after the stop; nullopt when the unit is not loaded.
std::optional<std::string> stop_via_systemd(std::string_view base_name);
// (ActiveState, MainPID) after the restart; (ActiveState, nullopt) when
// systemctl failed; (nullopt, nullopt) when the unit is not loaded.
std::pair<std::optional<std::string>, std::optional<std::string>> restart_via_systemd(
    std::string_view base_name);

// A listing asks the same few properties of every unit the server has:
// while a Batch lives, get_properties_via_systemd answers the units it was
// made for, and the keys of get_service_info_via_systemd, from one
// systemctl show of them all, taken when it was made. Any other question
// still runs systemctl. Where systemd cannot be asked at once (not running
// it, no answer, one block missing), the Batch answers nothing.
//
// Most words of a listing have no unit at all (a daemon not installed, an
// administrator's definition), and systemd searches its whole unit path for
// each one it is shown. A unit that systemd does not hold (list-units) and
// that no file in UNIT_SEARCH_DIRS could load is answered as systemd answers
// it, "not-found", without asking.
//
//   { const Systemctl::Batch batch({"cron", "ssh"}); ...looks... }
class Batch {
  public:
    explicit Batch(const std::vector<std::string>& units);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
};

// The raw wait status of systemctl run with `args` (-1: it could not be run),
// ended at CALL_BOUND_MAX.
int _run_systemctl(const std::vector<std::string>& args);

// Seconds a call that waits for a job running the unit's time-outs named by
// `timeout_keys` (TimeoutStartUSec, TimeoutStopUSec) in turn may take: their
// sum plus CALL_MARGIN, at most CALL_BOUND_MAX. A time-out the unit does not
// give, or gives as infinity, makes it CALL_BOUND_MAX.
double call_bound(const UnitProperties& props, const std::vector<std::string>& timeout_keys);

// Whether a unit in ActiveState `state` has nothing under way.
bool is_at_rest(std::string_view state);

// The Id of a unit as its files say, without asking systemd (which an
// account other than root may not reach): the name its file in
// UNIT_FILE_DIRS resolves to, so an alias ("sshd.service", a link) gives
// the unit it stands for ("ssh.service"); "" when no file names it or the
// unit is masked.
std::string unit_id_from_files(std::string_view name);

// --- Pure parts, on systemctl's text ---

// "cron" -> "cron.service"; "cron.service" stays (".service" alone does not).
std::string unit_name(std::string_view name);
// `systemctl show` output: Key=Value lines. The value is everything after the
// first '=' (paths may contain '='); keys that are not property names are
// dropped.
UnitProperties parse_show(std::string_view text);
// The output of one `systemctl show` of several units: a block of lines per
// unit, in the order asked, blank lines between them.
std::vector<UnitProperties> parse_show_blocks(std::string_view text);
// The unit names of `systemctl list-units --plain --no-legend --full`, one
// per line, first word (after a state mark, when the line has one).
std::vector<std::string> parse_unit_list(std::string_view text);
// Whether systemd itself drives the unit: known to systemd, and its fragment
// (when it has one) in UNIT_FILE_DIRS or NULL_DEVICE.
bool is_usable_unit(const UnitProperties& props);
// A pid as systemd prints it: all digits and greater than 1.
std::optional<pid_t> parse_pid(std::string_view text);
// The pids of the CGroup section of `systemctl status` output, up to its
// first blank line.
std::vector<pid_t> parse_cgroup_pids(std::string_view status_text);
// The Active and Main PID lines of `systemctl status` output.
CodeAndSignal parse_code_and_signal(std::string_view status_text);
// Seconds of a time span as systemctl show prints one ("1min 30s", "90s",
// "100ms", "2h 5min"); infinity for "infinity" and for 0, which systemd
// takes as no time-out; nullopt for text that is not a time span.
std::optional<double> parse_timespan(std::string_view text);

}  // namespace Tavrel::Init::Systemd::Systemctl
