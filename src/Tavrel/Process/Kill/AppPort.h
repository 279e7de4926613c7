// Tavrel::Process::Kill::AppPort: ends the processes that listen on a service's ports
// and stand in its way.
//
//   Service named{.addresses = {"127.0.0.1"}, .owner = 53, .program = "/usr/sbin/named"};
//   Tavrel::Process::Kill::AppPort::kill_apps_on_ports({53}, verbose, {"10.0.0.5"}, named);
//
// Listeners are the TCP sockets in the listening state and the unconnected
// UDP sockets bound to a port, IPv4 and IPv6, read from procfs; the processes
// holding them are found through their socket descriptors. One port number
// is shared by many addresses (the system's resolver listens on
// 127.0.0.53:53 beside a name server on 127.0.0.1:53), so a listener's
// process is ended only when it stands in the service's way (judge):
//   - never when it belongs to another systemd service unit (its control
//     group names another unit's .service): that unit is someone's running
//     service, not a leftover;
//   - when it belongs to the service's own unit, or is the service's own
//     leftover: it runs as the service's account and, for a service that
//     runs as root, the service's program;
//   - never when it is another account's (neither the service's nor root's):
//     a site owner's process on the port is named, not ended;
//   - when its socket is on one of the service's addresses, or either side
//     is on the wildcard address (a service without addresses binds every
//     address), since the service could not bind then;
//   - never otherwise.
// A stop (Purpose::EndOwn) ends only what is the service's own: its unit's,
// or its account's (for root: its program's, or on its address); another
// account's listener, or one on an address the service does not use, is
// never the service's, whatever the service declares.
// A listener on an excluded address is left alone (a listener on the
// wildcard address is not on an excluded address). The processes get the
// escalation of Tavrel::Process::Kill::safekill. The calling process, its ancestors and
// pid 1 are never signalled.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Process::Kill::AppPort {

inline bool VERBOSE = false;
// Grace period of the escalation; 0 means Tavrel::Process::Kill::DEFAULT_WAIT_TIME.
inline double WAIT_TIME = 0;

struct Listener {
    std::string address;  // printable form, e.g. "127.0.0.1" or "::1"
    int port = 0;
    unsigned long inode = 0;
};

// Who the clean-up works for.
struct Service {
    std::vector<std::string> addresses;  // empty: the wildcard address
    std::optional<uid_t> owner;          // the account it runs as; unknown: none
    std::string program;                 // its executable, links resolved; "" unknown
    std::string unit;                    // its systemd unit ("named.service"); "" none
};

// What is known of a process holding a listener.
struct Holder {
    std::optional<uid_t> uid;
    std::string program;  // /proc/<pid>/exe
    std::string unit;     // Tavrel::Process::Proc::Cgroup::service_unit_of
};

enum class Verdict {
    OwnUnit,       // in the service's own unit: ended
    OwnLeftover,   // the service's account (and program): ended
    SameAddress,   // on the service's address, or a wildcard: ended
    OtherUnit,     // another running unit's: left running
    OtherAddress,  // elsewhere, someone else's: left running
    OtherAccount,  // another account's, at a stop: left running
};
bool ends(Verdict verdict);
const char* describe(Verdict verdict);

// What the clean-up is for: clearing the way before a start attempt, or
// ending the service's own listeners at its stop.
enum class Purpose { ClearTheWay, EndOwn };

// The decision for one listener of one process; `run_unit` is the unit this
// run itself belongs to (what it launched shares it: not another unit).
Verdict judge(const Listener& listener, const Holder& holder, const Service& service,
              std::string_view run_unit = {}, Purpose purpose = Purpose::ClearTheWay);

// The listeners of one /proc/net table (tcp, tcp6, udp or udp6). A line that
// does not read as a socket (a port beyond 65535, an inode of 0 or too large)
// is skipped.
std::vector<Listener> parse_net_table(std::string_view text, bool udp, bool ipv6);

// The socket inode of a descriptor's link text ("socket:[12345]"), or nothing.
std::optional<unsigned long> socket_inode(std::string_view link);

// The listeners on the ports, minus those on excluded addresses.
std::vector<Listener> find_listeners(const std::vector<int>& ports,
                                     const std::vector<std::string>& exclude_ips = {});
// The pids holding any of the sockets.
std::vector<pid_t> pids_holding(const std::vector<unsigned long>& inodes);
// Those of the sockets that the process holds.
std::vector<unsigned long> sockets_held(pid_t pid, const std::vector<unsigned long>& inodes);

// The processes kill_apps_on_ports would end now, judged as it judges them;
// nothing is signalled (a dry run's plan).
std::vector<pid_t> would_end(const std::vector<int>& ports, const std::vector<std::string>& exclude_ips,
                             const Service& service, Purpose purpose = Purpose::ClearTheWay);
// 1 when processes in the service's way were found and are gone, else 0.
int kill_apps_on_ports(const std::vector<int>& ports, bool verbose = VERBOSE,
                       const std::vector<std::string>& exclude_ips = {},
                       const Service& service = {}, Purpose purpose = Purpose::ClearTheWay);

// A process that holds a listener on one of the ports.
struct Holding {
    Listener listener;
    pid_t pid = 0;
    std::optional<uid_t> uid;
    std::string command;  // its command line, printable
};
// What still holds the ports after a clean-up, whether it may be ended or
// not (this run's ancestors, another unit's, one that outlived KILL): for
// ClearTheWay what keeps the service from binding (a listener on its
// address or a wildcard), for EndOwn what is the service's own.
std::vector<Holding> still_held(const std::vector<int>& ports,
                                const std::vector<std::string>& exclude_ips,
                                const Service& service, Purpose purpose);
// "PID 42 (named -f) of account bind on 127.0.0.1:53; PID 7 (...) ..."
std::string describe(const std::vector<Holding>& holdings);

}  // namespace Tavrel::Process::Kill::AppPort
