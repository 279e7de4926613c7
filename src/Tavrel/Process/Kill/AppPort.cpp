#include "Tavrel/Process/Kill/AppPort.h"
#include "Tavrel/Foundation/Text/Digits.h"

#include "Tavrel/Foundation/Console.h"
#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Process/Kill.h"
#include "Tavrel/Process/Kill/Target.h"
#include "Tavrel/Process/Proc/Bin.h"
#include "Tavrel/Process/Proc/Cgroup.h"
#include "Tavrel/Process/Proc/Lineage.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Foundation/Text/Printable.h"
#include "Tavrel/Config/PwCache.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cctype>
#include <cstring>
#include <memory>

namespace Tavrel::Process::Kill::AppPort {

namespace {

// Kernel socket states as printed in /proc/net.
constexpr unsigned TCP_LISTEN = 0x0A;
constexpr unsigned UDP_UNCONNECTED = 0x07;

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    size_t p = 0;
    while (p < line.size()) {
        while (p < line.size() && std::isspace(static_cast<unsigned char>(line[p])))
            ++p;
        size_t q = p;
        while (q < line.size() && !std::isspace(static_cast<unsigned char>(line[q])))
            ++q;
        if (q > p)
            out.push_back(line.substr(p, q - p));
        p = q;
    }
    return out;
}

bool hex_number(std::string_view text, unsigned long& out) {
    if (text.empty() || text.size() > 16)
        return false;
    out = 0;
    for (char c : text) {
        int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                                                            : -1;
        if (d < 0)
            return false;
        out = out * 16 + static_cast<unsigned long>(d);
    }
    return true;
}

// The kernel prints each 32-bit word of the address as it lies in memory.
std::optional<std::string> decode_address(std::string_view hex, bool ipv6) {
    size_t groups = ipv6 ? 4 : 1;
    if (hex.size() != groups * 8)
        return std::nullopt;
    unsigned char bytes[16];
    for (size_t g = 0; g < groups; ++g) {
        unsigned long word = 0;
        if (!hex_number(hex.substr(g * 8, 8), word))
            return std::nullopt;
        uint32_t w = static_cast<uint32_t>(word);
        std::memcpy(bytes + g * 4, &w, 4);
    }
    char text[INET6_ADDRSTRLEN];
    if (!::inet_ntop(ipv6 ? AF_INET6 : AF_INET, bytes, text, sizeof text))
        return std::nullopt;
    return std::string(text);
}

// The printable forms an address may be listed under: itself, and the IPv4
// address inside an IPv4-mapped IPv6 address.
std::vector<std::string> address_forms(const std::string& address) {
    std::vector<std::string> out;
    unsigned char bytes[16];
    char text[INET6_ADDRSTRLEN];
    if (::inet_pton(AF_INET, address.c_str(), bytes) == 1) {
        out.push_back(::inet_ntop(AF_INET, bytes, text, sizeof text));
    } else if (::inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
        out.push_back(::inet_ntop(AF_INET6, bytes, text, sizeof text));
        static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (std::memcmp(bytes, mapped, 12) == 0)
            out.push_back(::inet_ntop(AF_INET, bytes + 12, text, sizeof text));
    }
    return out;
}

bool is_wildcard(const std::string& address) {
    return address == "0.0.0.0" || address == "::";
}

// Whether `address` is one the service listens on (any, when it declares
// none or the wildcard).
bool on_its_address(const std::string& address, const std::vector<std::string>& service_addresses) {
    if (service_addresses.empty())
        return true;
    const auto forms = address_forms(address);
    for (const std::string& mine : service_addresses) {
        if (is_wildcard(mine))
            return true;
        for (const std::string& form : address_forms(mine)) {
            if (std::find(forms.begin(), forms.end(), form) != forms.end())
                return true;
        }
    }
    return false;
}

// Whether a listener on `address` keeps the service from binding its own.
bool clashes(const std::string& address, const std::vector<std::string>& service_addresses) {
    return is_wildcard(address) || on_its_address(address, service_addresses);
}

Holder holder_of(pid_t pid) {
    Holder h;
    struct stat st {};
    if (::stat((Foundation::ProcFs::PROC_PATH + "/" + std::to_string(pid)).c_str(), &st) == 0)
        h.uid = st.st_uid;
    h.program = Proc::Bin::getbin(pid);
    h.unit = Proc::Cgroup::service_unit_of(pid);
    return h;
}

std::string where(const Listener& l) {
    return (l.address.find(':') != std::string::npos ? "[" + l.address + "]" : l.address) + ":" +
           std::to_string(l.port);
}

std::string join(const std::vector<int>& ports) {
    std::string out;
    for (size_t i = 0; i < ports.size(); ++i)
        out += (i ? ", " : "") + std::to_string(ports[i]);
    return out;
}

}  // namespace

std::optional<unsigned long> socket_inode(std::string_view link) {
    static constexpr std::string_view prefix = "socket:[";
    if (link.size() <= prefix.size() + 1 || link.substr(0, prefix.size()) != prefix ||
        link.back() != ']')
        return std::nullopt;
    auto v = Foundation::Text::digits_value(link.substr(prefix.size(), link.size() - prefix.size() - 1),
                                ULONG_MAX);
    if (!v)
        return std::nullopt;
    return static_cast<unsigned long>(*v);
}

std::vector<Listener> parse_net_table(std::string_view text, bool udp, bool ipv6) {
    std::vector<Listener> out;
    size_t p = 0;
    bool header = true;
    while (p < text.size()) {
        size_t nl = text.find('\n', p);
        std::string_view line =
            text.substr(p, nl == std::string_view::npos ? std::string_view::npos : nl - p);
        p = nl == std::string_view::npos ? text.size() : nl + 1;
        if (header) {
            header = false;
            continue;
        }
        auto f = words(line);
        if (f.size() < 10)
            continue;
        unsigned long state = 0, port = 0, inode = 0;
        size_t colon = f[1].find(':');
        if (colon == std::string_view::npos || !hex_number(f[3], state) ||
            !hex_number(f[1].substr(colon + 1), port))
            continue;
        if (state != (udp ? UDP_UNCONNECTED : TCP_LISTEN) || port > 0xffff)
            continue;
        auto inode_value = Foundation::Text::digits_value(f[9], ULONG_MAX);
        if (!inode_value)
            continue;
        inode = static_cast<unsigned long>(*inode_value);
        auto address = decode_address(f[1].substr(0, colon), ipv6);
        if (!address || inode == 0)
            continue;
        out.push_back({*address, static_cast<int>(port), inode});
    }
    return out;
}

std::vector<Listener> find_listeners(const std::vector<int>& ports,
                                     const std::vector<std::string>& exclude_ips) {
    std::vector<std::string> excluded;
    for (const auto& ip : exclude_ips)
        for (auto& form : address_forms(ip))
            excluded.push_back(form);
    std::vector<Listener> out;
    const struct {
        const char* file;
        bool udp, ipv6;
    } tables[] = {
        {"tcp", false, false}, {"tcp6", false, true}, {"udp", true, false}, {"udp6", true, true}};
    for (const auto& t : tables) {
        auto text = Foundation::ProcFs::path(Foundation::ProcFs::PROC_PATH + "/net/" + t.file);
        if (!text)
            continue;
        for (auto& l : parse_net_table(*text, t.udp, t.ipv6)) {
            if (std::find(ports.begin(), ports.end(), l.port) == ports.end())
                continue;
            auto forms = address_forms(l.address);
            bool skip = std::any_of(forms.begin(), forms.end(), [&](const std::string& f) {
                return std::find(excluded.begin(), excluded.end(), f) != excluded.end();
            });
            if (!skip)
                out.push_back(std::move(l));
        }
    }
    return out;
}

std::vector<unsigned long> sockets_held(pid_t pid, const std::vector<unsigned long>& inodes) {
    std::vector<unsigned long> held;
    std::string fd_dir = Foundation::ProcFs::PROC_PATH + "/" + std::to_string(pid) + "/fd";
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(fd_dir.c_str()), ::closedir);
    if (!dir)
        return held;
    while (struct dirent* e = ::readdir(dir.get())) {
        if (!Foundation::Text::all_digits(e->d_name))
            continue;
        auto link = Foundation::ProcFs::link_at(::dirfd(dir.get()), e->d_name);
        auto inode = link ? socket_inode(*link) : std::nullopt;
        if (inode && std::find(inodes.begin(), inodes.end(), *inode) != inodes.end() &&
            std::find(held.begin(), held.end(), *inode) == held.end())
            held.push_back(*inode);
    }
    return held;
}

bool ends(Verdict verdict) {
    return verdict == Verdict::OwnUnit || verdict == Verdict::OwnLeftover ||
           verdict == Verdict::SameAddress;
}

const char* describe(Verdict verdict) {
    switch (verdict) {
    case Verdict::OwnUnit: return "it belongs to the service's own unit";
    case Verdict::OwnLeftover: return "it is a leftover of the service";
    case Verdict::SameAddress: return "it holds the service's address";
    case Verdict::OtherUnit: return "it belongs to another running service unit";
    case Verdict::OtherAddress: return "it is another account's, on another address";
    case Verdict::OtherAccount: return "it is another account's, and only the service's own is ended";
    }
    return "";
}

Verdict judge(const Listener& listener, const Holder& holder, const Service& service,
              std::string_view run_unit, Purpose purpose) {
    if (!holder.unit.empty()) {
        if (holder.unit == service.unit)
            return Verdict::OwnUnit;
        if (holder.unit != run_unit)
            return Verdict::OtherUnit;
    }
    // Root runs much besides the service: for a service run as root only its
    // own program marks a leftover.
    if (service.owner && holder.uid == service.owner &&
        (*service.owner != 0 || (!service.program.empty() && holder.program == service.program)))
        return Verdict::OwnLeftover;
    // Another account's program is never ended to clear the way either (a
    // site owner's process on the port): the start names it and stops.
    if (service.owner && holder.uid && *holder.uid != 0 && holder.uid != service.owner)
        return Verdict::OtherAccount;
    if (purpose == Purpose::EndOwn) {
        // Standing in the way makes nothing the service's: a stop leaves
        // what it cannot tell for the service's own.
        if (!service.owner || holder.uid != service.owner)
            return Verdict::OtherAccount;
        return on_its_address(listener.address, service.addresses) ? Verdict::SameAddress
                                                                   : Verdict::OtherAddress;
    }
    return clashes(listener.address, service.addresses) ? Verdict::SameAddress
                                                        : Verdict::OtherAddress;
}

std::vector<pid_t> pids_holding(const std::vector<unsigned long>& inodes) {
    std::vector<pid_t> out;
    if (inodes.empty())
        return out;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(Foundation::ProcFs::PROC_PATH.c_str()), ::closedir);
    if (!dir)
        return out;
    while (struct dirent* e = ::readdir(dir.get())) {
        auto pid = Foundation::Text::digits_value(e->d_name, INT32_MAX);
        if (pid && !sockets_held(static_cast<pid_t>(*pid), inodes).empty())
            out.push_back(static_cast<pid_t>(*pid));
    }
    return out;
}

namespace {

// The holders of the listeners that stand in the service's way (or, at a
// stop, are its own), by the one judgement both the clean-up and a dry run's
// plan make.
std::vector<pid_t> pids_to_end(const std::vector<Listener>& listeners, const std::vector<int>& ports,
                               const Service& service, Purpose purpose) {
    std::vector<unsigned long> inodes;
    for (const auto& l : listeners)
        inodes.push_back(l.inode);
    const std::string run_unit = Proc::Cgroup::service_unit_of(::getpid());
    std::vector<pid_t> immune = Proc::Lineage::pids();
    std::vector<pid_t> pids;
    for (pid_t pid : pids_holding(inodes)) {
        if (std::find(immune.begin(), immune.end(), pid) != immune.end())
            continue;
        if (pid <= 1) {
            Foundation::Debug::log_warn("The process with ID " + std::to_string(pid) + " listens on port " +
                            join(ports) + "; it is never signalled.");
            continue;
        }
        // The process's own sockets and facts decide; it is ended when one
        // of its listeners stands in the service's way.
        const std::vector<unsigned long> held = sockets_held(pid, inodes);
        const Holder holder = holder_of(pid);
        std::optional<Verdict> verdict;
        for (const auto& l : listeners) {
            if (std::find(held.begin(), held.end(), l.inode) == held.end())
                continue;
            verdict = judge(l, holder, service, run_unit, purpose);
            if (ends(*verdict))
                break;
            Foundation::Debug::log_debug("The process with ID " + std::to_string(pid) + " listens on " +
                            where(l) + " and is left running: " + describe(*verdict) + ".");
        }
        if (verdict && ends(*verdict))
            pids.push_back(pid);
    }
    return pids;
}

}  // namespace

std::vector<pid_t> would_end(const std::vector<int>& ports, const std::vector<std::string>& exclude_ips,
                             const Service& service, Purpose purpose) {
    return pids_to_end(find_listeners(ports, exclude_ips), ports, service, purpose);
}

int kill_apps_on_ports(const std::vector<int>& ports, bool verbose,
                       const std::vector<std::string>& exclude_ips, const Service& service,
                       Purpose purpose) {
    const std::vector<Listener> listeners = find_listeners(ports, exclude_ips);
    std::vector<unsigned long> inodes;
    for (const auto& l : listeners)
        inodes.push_back(l.inode);
    std::vector<Target> targets;
    for (pid_t pid : pids_to_end(listeners, ports, service, purpose)) {
        // The pidfd is taken after the judgement: keep it only if that
        // process still holds one of the sockets (its pid was not reused).
        Target t = Target::open(pid);
        if (t.has_pidfd() && (sockets_held(pid, inodes).empty() || !t.alive()))
            continue;
        targets.push_back(std::move(t));
    }
    std::string display = "the processes on port " + join(ports);
    if (targets.empty()) {
        if (verbose)
            Foundation::Console::line("progress",
                                      "No process in the way listens on port " + join(ports) + ".");
        return 0;
    }
    return escalate(targets, display, verbose, WAIT_TIME);
}

std::vector<Holding> still_held(const std::vector<int>& ports,
                                const std::vector<std::string>& exclude_ips,
                                const Service& service, Purpose purpose) {
    const std::vector<Listener> listeners = find_listeners(ports, exclude_ips);
    std::vector<unsigned long> inodes;
    for (const auto& l : listeners)
        inodes.push_back(l.inode);
    const std::string run_unit = Proc::Cgroup::service_unit_of(::getpid());
    std::vector<Holding> out;
    for (pid_t pid : pids_holding(inodes)) {
        const std::vector<unsigned long> held = sockets_held(pid, inodes);
        const Holder holder = holder_of(pid);
        for (const auto& l : listeners) {
            if (std::find(held.begin(), held.end(), l.inode) == held.end())
                continue;
            const bool holds = purpose == Purpose::EndOwn
                                   ? ends(judge(l, holder, service, run_unit, purpose))
                                   : clashes(l.address, service.addresses);
            if (!holds)
                continue;
            std::string command = Foundation::ProcFs::path(Foundation::ProcFs::PROC_PATH + "/" +
                                                           std::to_string(pid) + "/cmdline")
                                      .value_or(std::string());
            while (!command.empty() && command.back() == '\0')
                command.pop_back();
            std::replace(command.begin(), command.end(), '\0', ' ');
            out.push_back({l, pid, holder.uid, Foundation::Text::printable(command)});
            break;
        }
    }
    return out;
}

std::string describe(const std::vector<Holding>& holdings) {
    std::string text;
    for (const auto& h : holdings) {
        std::string account = "?";
        if (h.uid)
            account = Config::PwCache::getpwuid_name(*h.uid).value_or(std::to_string(*h.uid));
        text += (text.empty() ? "" : "; ") + ("PID " + std::to_string(h.pid) + " (" + h.command +
                                              ") of account " + account + " on " + where(h.listener));
    }
    return text;
}

}  // namespace Tavrel::Process::Kill::AppPort
