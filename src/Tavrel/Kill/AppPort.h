// Tavrel::Kill::AppPort: ends the processes that listen on given ports.
//
//   Tavrel::Kill::AppPort::kill_apps_on_ports({80, 443}, verbose, {"10.0.0.5"});
//
// Listeners are the TCP sockets in the listening state and the unconnected
// UDP sockets bound to a port, IPv4 and IPv6, read from procfs; the processes
// holding them are found through their socket descriptors. A listener on an
// excluded address is left alone (a listener on the wildcard address is not
// on an excluded address). The processes get the escalation of
// Tavrel::Kill::safekill. The calling process, its ancestors and pid 1 are
// never signalled.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Kill::AppPort {

inline std::string PROC_PATH = "/proc";
inline bool VERBOSE = false;
// Grace period of the escalation; 0 means Tavrel::Kill::DEFAULT_WAIT_TIME.
inline double WAIT_TIME = 0;

struct Listener {
    std::string address;  // printable form, e.g. "127.0.0.1" or "::1"
    int port = 0;
    unsigned long inode = 0;
};

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

// 1 when processes were found and are gone, else 0.
int kill_apps_on_ports(const std::vector<int>& ports, bool verbose = VERBOSE,
                       const std::vector<std::string>& exclude_ips = {});

}  // namespace Tavrel::Kill::AppPort
