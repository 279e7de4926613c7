#include "Tavrel/Process/Kill/AppPort.h"

#include "testsupport/TestChild.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>

using namespace Tavrel::Process::Kill::AppPort;

namespace {

// Binds a socket of the given kind on the address and port (0: any free one);
// returns the descriptor and the port, or -1.
std::pair<int, int> bind_socket(int family, const char* address, int port, int type) {
    int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {-1, 0};
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET) {
        auto* sa = reinterpret_cast<sockaddr_in*>(&ss);
        sa->sin_family = AF_INET;
        sa->sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, address, &sa->sin_addr);
        len = sizeof *sa;
    } else {
        auto* sa = reinterpret_cast<sockaddr_in6*>(&ss);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET6, address, &sa->sin6_addr);
        len = sizeof *sa;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 4) != 0)) {
        ::close(fd);
        return {-1, 0};
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    int bound = family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port)
                                  : ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return {fd, bound};
}

// Gives the grace period a test value and puts the setting back afterwards,
// so no other test inherits it.
struct ShortWait {
    double saved = Tavrel::Process::Kill::AppPort::WAIT_TIME;
    explicit ShortWait(double seconds) { Tavrel::Process::Kill::AppPort::WAIT_TIME = seconds; }
    ~ShortWait() { Tavrel::Process::Kill::AppPort::WAIT_TIME = saved; }
};

// A forked listener that reports its port (0 on failure) and waits to be ended.
struct ForkedListener {
    pid_t pid = -1;
    int port = 0;
    ~ForkedListener() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

template <typename Setup>
void start(ForkedListener& l, Setup setup) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    l.pid = ::fork();
    if (l.pid == 0) {
        int port = setup();
        (void)::write(fds[1], &port, sizeof port);
        for (;;)
            ::pause();
    }
    ::close(fds[1]);
    (void)::read(fds[0], &l.port, sizeof l.port);
    ::close(fds[0]);
}

bool ended(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == pid || (::kill(pid, 0) != 0 && errno == ESRCH);
}

}  // namespace

TEST(ParseNetTable, ListenersFromRealSamples) {
    // Lines captured from /proc/net/tcp, tcp6 and udp.
    const char* tcp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n"
        "   0: 0100007F:0CEA 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        "
        "0 31337 1 0 100 0 0 10 0\n"
        "   1: 0100007F:9C4A 0100007F:0CEA 01 00000000:00000000 00:00000000 00000000     0        "
        "0 31338 1 0 20 4 30 10 -1\n"
        "   2: 00000000:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        "
        "0 4242 1 0 100 0 0 10 0\n";
    auto v4 = Tavrel::Process::Kill::AppPort::parse_net_table(tcp, false, false);
    ASSERT_EQ(v4.size(), 2u);  // the established connection is not a listener
    EXPECT_EQ(v4[0].address, "127.0.0.1");
    EXPECT_EQ(v4[0].port, 3306);
    EXPECT_EQ(v4[0].inode, 31337u);
    EXPECT_EQ(v4[1].address, "0.0.0.0");
    EXPECT_EQ(v4[1].port, 80);
    const char* tcp6 =
        "  sl  local_address                         remote_address                        st "
        "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 00000000000000000000000001000000:01BB 00000000000000000000000000000000:0000 0A "
        "00000000:00000000 00:00000000 00000000     0        0 5151 1 0 100 0 0 10 0\n"
        "   1: 0000000000000000FFFF00000200007F:0035 00000000000000000000000000000000:0000 0A "
        "00000000:00000000 00:00000000 00000000     0        0 5252 1 0 100 0 0 10 0\n";
    auto v6 = Tavrel::Process::Kill::AppPort::parse_net_table(tcp6, false, true);
    ASSERT_EQ(v6.size(), 2u);
    EXPECT_EQ(v6[0].address, "::1");
    EXPECT_EQ(v6[0].port, 443);
    EXPECT_EQ(v6[1].address, "::ffff:127.0.0.2");
    const char* udp =
        "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode ref pointer drops\n"
        "  12: 00000000:0035 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        "
        "0 777 2 0 0\n"
        "  13: 0100007F:D431 0100007F:0035 01 00000000:00000000 00:00000000 00000000     0        "
        "0 778 2 0 0\n";
    auto u = Tavrel::Process::Kill::AppPort::parse_net_table(udp, true, false);
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].port, 53);
    EXPECT_TRUE(Tavrel::Process::Kill::AppPort::parse_net_table("", false, false).empty());
}

TEST(KillAppsOnPorts, EndsListenersButLeavesExcludedAddresses) {
    ForkedListener target;
    for (int attempt = 0; attempt < 5 && target.port == 0; ++attempt) {
        start(target, [] {
            auto [fd4, port] = bind_socket(AF_INET, "127.0.0.1", 0, SOCK_STREAM);
            if (fd4 < 0)
                return 0;
            if (bind_socket(AF_INET6, "::1", port, SOCK_STREAM).first < 0)
                return 0;
            if (bind_socket(AF_INET, "127.0.0.1", port, SOCK_DGRAM).first < 0)
                return 0;
            return port;
        });
        if (target.port == 0) {
            ::kill(target.pid, SIGKILL);
            ::waitpid(target.pid, nullptr, 0);
            target.pid = -1;
        }
    }
    ASSERT_GT(target.port, 0);
    int port = target.port;
    ForkedListener survivor;
    start(survivor, [port] {
        return bind_socket(AF_INET, "127.0.0.2", port, SOCK_STREAM).first < 0 ? 0 : port;
    });
    ASSERT_EQ(survivor.port, port);

    auto listeners = Tavrel::Process::Kill::AppPort::find_listeners({port}, {"127.0.0.2"});
    EXPECT_GE(listeners.size(), 3u);  // tcp 127.0.0.1, tcp6 ::1, udp 127.0.0.1
    EXPECT_TRUE(std::none_of(listeners.begin(), listeners.end(),
                             [](const auto& l) { return l.address == "127.0.0.2"; }));

    ShortWait short_wait(0.5);
    EXPECT_EQ(kill_apps_on_ports({port}, false, {"127.0.0.2"}), 1);
    EXPECT_TRUE(ended(target.pid));
    target.pid = -1;
    EXPECT_FALSE(ended(survivor.pid));

    EXPECT_EQ(kill_apps_on_ports({port}, false, {}), 1);
    EXPECT_TRUE(ended(survivor.pid));
    survivor.pid = -1;
    EXPECT_EQ(kill_apps_on_ports({port}, false, {}), 0);  // nobody listens any more
}

TEST(KillAppsOnPorts, ExcludedAddressInMappedFormIsRespected) {
    ForkedListener l;
    start(l, [] {
        auto [fd, port] = bind_socket(AF_INET, "127.0.0.3", 0, SOCK_STREAM);
        return fd < 0 ? 0 : port;
    });
    ASSERT_GT(l.port, 0);
    ShortWait short_wait(0.5);
    EXPECT_EQ(kill_apps_on_ports({l.port}, false, {"::ffff:127.0.0.3"}), 0);
    EXPECT_FALSE(ended(l.pid));
}

// Lines the kernel never prints, as a damaged or forged table might hold:
// neither may throw or produce a listener on a port it does not name.
TEST(ParseNetTable, OutOfRangePortAndInodeAreSkipped) {
    std::string header = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when "
                         "retrnsmt   uid  timeout inode\n";
    // Port 0x100000050 would read as 80 once narrowed to an int.
    std::string wide_port = "   0: 0100007F:0000000100000050 00000000:0000 0A 00000000:00000000 "
                            "00:00000000 00000000     0        0 1046 1 0 100 0 0 10 0\n";
    std::string huge_inode = "   1: 0100007F:0050 00000000:0000 0A 00000000:00000000 "
                             "00:00000000 00000000     0        0 99999999999999999999999 1\n";
    EXPECT_TRUE(Tavrel::Process::Kill::AppPort::parse_net_table(header + wide_port + huge_inode, false, false).empty());
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::socket_inode("socket:[4711]"), 4711UL);
    EXPECT_FALSE(Tavrel::Process::Kill::AppPort::socket_inode("socket:[99999999999999999999999]"));
    EXPECT_FALSE(Tavrel::Process::Kill::AppPort::socket_inode("socket:[]"));
    EXPECT_FALSE(Tavrel::Process::Kill::AppPort::socket_inode("pipe:[4711]"));
}

// --- Which listeners stand in the service's way ------------------------------

namespace {

// /proc/net/udp and /proc/net/tcp6 of an Ubuntu host running a name server on
// 127.0.0.1:53 beside the system's resolver on 127.0.0.53:53 (and on ::1 and
// the wildcard of IPv6 for the server).
const char* RESOLVER_UDP =
    "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
    "timeout inode ref pointer drops\n"
    "  218: 3500007F:0035 00000000:0000 07 00000000:00000000 00:00000000 00000000   101        "
    "0 23140 2 0000000000000000 0\n"
    "  219: 0100007F:0035 00000000:0000 07 00000000:00000000 00:00000000 00000000   107        "
    "0 41877 2 0000000000000000 0\n";
const char* RESOLVER_TCP6 =
    "  sl  local_address                         remote_address                        st "
    "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 00000000000000000000000000000000:0035 00000000000000000000000000000000:0000 0A "
    "00000000:00000000 00:00000000 00000000   107        0 41880 1 0 100 0 0 10 0\n"
    "   1: 0000000000000000FFFF00000100007F:0035 00000000000000000000000000000000:0000 0A "
    "00000000:00000000 00:00000000 00000000   107        0 41881 1 0 100 0 0 10 0\n";

const Tavrel::Process::Kill::AppPort::Holder RESOLVED{101, "/usr/lib/systemd/systemd-resolved", "systemd-resolved.service"};

}  // namespace

TEST(Judge, AnotherUnitsListenerIsNeverEnded) {
    auto udp = Tavrel::Process::Kill::AppPort::parse_net_table(RESOLVER_UDP, true, false);
    ASSERT_EQ(udp.size(), 2u);
    const Tavrel::Process::Kill::AppPort::Listener& resolver = udp[0];
    EXPECT_EQ(resolver.address, "127.0.0.53");
    // Even by a service that binds every address, and by one of root.
    const Tavrel::Process::Kill::AppPort::Service named{{}, 53, "/usr/sbin/named", "named.service"};
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(resolver, RESOLVED, named), Tavrel::Process::Kill::AppPort::Verdict::OtherUnit);
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(resolver, RESOLVED, Tavrel::Process::Kill::AppPort::Service{{"127.0.0.53"}, 0, "", ""}), Tavrel::Process::Kill::AppPort::Verdict::OtherUnit);
    EXPECT_FALSE(Tavrel::Process::Kill::AppPort::ends(Tavrel::Process::Kill::AppPort::Verdict::OtherUnit));
    // The service's own unit: ended wherever it listens.
    const Tavrel::Process::Kill::AppPort::Holder own{53, "/usr/sbin/named", "named.service"};
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(resolver, own, named), Tavrel::Process::Kill::AppPort::Verdict::OwnUnit);
    // The unit this run belongs to is not another's: what it launched.
    const Tavrel::Process::Kill::AppPort::Holder launched{0, "/usr/bin/python3", "svcwatch.service"};
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(resolver, launched, Tavrel::Process::Kill::AppPort::Service{{"127.0.0.1"}, 0, "", ""}, "svcwatch.service"),
              Tavrel::Process::Kill::AppPort::Verdict::OtherAddress);
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(udp[1], launched, Tavrel::Process::Kill::AppPort::Service{{"127.0.0.1"}, 0, "", ""}, "svcwatch.service"),
              Tavrel::Process::Kill::AppPort::Verdict::SameAddress);
}

// Another account's listener is never ended, not even to clear a start's
// way on the service's own address (a site owner's program took the port);
// root's other programs go only from the service's address.
TEST(Judge, AnotherProgramsListenerGoesOnlyFromTheServicesAddressAndNeverAnotherAccounts) {
    auto udp = Tavrel::Process::Kill::AppPort::parse_net_table(RESOLVER_UDP, true, false);
    auto tcp6 = Tavrel::Process::Kill::AppPort::parse_net_table(RESOLVER_TCP6, false, true);
    ASSERT_EQ(udp.size(), 2u);
    ASSERT_EQ(tcp6.size(), 2u);
    const Tavrel::Process::Kill::AppPort::Holder site_owner{1001, "/usr/bin/python3", ""};
    const Tavrel::Process::Kill::AppPort::Holder account{0, "/usr/bin/python3", ""};
    const Tavrel::Process::Kill::AppPort::Service on_loopback{{"127.0.0.1"}, 0, "/usr/local/sbin/ztestd", ""};
    for (const auto& listener : {udp[0], udp[1], tcp6[0], tcp6[1]})
        EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(listener, site_owner, on_loopback),
                  Tavrel::Process::Kill::AppPort::Verdict::OtherAccount);
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(udp[0], account, on_loopback), Tavrel::Process::Kill::AppPort::Verdict::OtherAddress);
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(udp[1], account, on_loopback), Tavrel::Process::Kill::AppPort::Verdict::SameAddress);
    // The wildcard on either side, and an IPv4-mapped form of the address.
    EXPECT_EQ(tcp6[0].address, "::");
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(tcp6[0], account, on_loopback), Tavrel::Process::Kill::AppPort::Verdict::SameAddress);
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(tcp6[1], account, on_loopback), Tavrel::Process::Kill::AppPort::Verdict::SameAddress);
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(udp[0], account, Tavrel::Process::Kill::AppPort::Service{{"0.0.0.0"}, 0, "", ""}), Tavrel::Process::Kill::AppPort::Verdict::SameAddress);
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(udp[0], account, Tavrel::Process::Kill::AppPort::Service{{"::"}, 0, "", ""}), Tavrel::Process::Kill::AppPort::Verdict::SameAddress);
    // A service that names no address binds them all.
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(udp[0], account, Tavrel::Process::Kill::AppPort::Service{}), Tavrel::Process::Kill::AppPort::Verdict::SameAddress);
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(udp[0], account, Tavrel::Process::Kill::AppPort::Service{{"127.0.0.2", "::1"}, 0, "", ""}),
              Tavrel::Process::Kill::AppPort::Verdict::OtherAddress);
}

TEST(Judge, TheServicesLeftoverGoesFromAnyAddress) {
    auto udp = Tavrel::Process::Kill::AppPort::parse_net_table(RESOLVER_UDP, true, false);
    const Tavrel::Process::Kill::AppPort::Listener& elsewhere = udp[0];
    // A service with an account of its own: any process of that account.
    const Tavrel::Process::Kill::AppPort::Service named{{"127.0.0.1"}, 53, "/usr/sbin/named", ""};
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(elsewhere, Tavrel::Process::Kill::AppPort::Holder{53, "/usr/sbin/named", ""}, named), Tavrel::Process::Kill::AppPort::Verdict::OwnLeftover);
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(elsewhere, Tavrel::Process::Kill::AppPort::Holder{53, "/usr/sbin/rndc", ""}, named), Tavrel::Process::Kill::AppPort::Verdict::OwnLeftover);
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(elsewhere, Tavrel::Process::Kill::AppPort::Holder{1001, "/usr/sbin/named", ""}, named), Tavrel::Process::Kill::AppPort::Verdict::OtherAccount);
    // A service run as root: root's processes of its program only.
    const Tavrel::Process::Kill::AppPort::Service as_root{{"127.0.0.1"}, 0, "/usr/local/sbin/ztestd", ""};
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(elsewhere, Tavrel::Process::Kill::AppPort::Holder{0, "/usr/local/sbin/ztestd", ""}, as_root),
              Tavrel::Process::Kill::AppPort::Verdict::OwnLeftover);
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(elsewhere, Tavrel::Process::Kill::AppPort::Holder{0, "/usr/sbin/dnsmasq", ""}, as_root), Tavrel::Process::Kill::AppPort::Verdict::OtherAddress);
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(elsewhere, Tavrel::Process::Kill::AppPort::Holder{0, "", ""}, Tavrel::Process::Kill::AppPort::Service{{"127.0.0.1"}, 0, "", ""}),
              Tavrel::Process::Kill::AppPort::Verdict::OtherAddress);
    // An owner not known: no leftover by account.
    EXPECT_EQ(Tavrel::Process::Kill::AppPort::judge(elsewhere, Tavrel::Process::Kill::AppPort::Holder{std::nullopt, "/usr/sbin/named", ""},
                    Tavrel::Process::Kill::AppPort::Service{{"127.0.0.1"}, std::nullopt, "/usr/sbin/named", ""}),
              Tavrel::Process::Kill::AppPort::Verdict::OtherAddress);
}

TEST(KillAppsOnPorts, ListenerOnAnotherAddressOfThePortSurvives) {
    ForkedListener other;
    start(other, [] {
        auto [fd, port] = bind_socket(AF_INET, "127.0.0.53", 0, SOCK_STREAM);
        return fd < 0 ? 0 : port;
    });
    ASSERT_GT(other.port, 0);
    const int port = other.port;
    ForkedListener in_the_way;
    start(in_the_way, [port] {
        return bind_socket(AF_INET, "127.0.0.1", port, SOCK_DGRAM).first < 0 ? 0 : port;
    });
    ASSERT_EQ(in_the_way.port, port);
    ShortWait short_wait(0.5);
    // Root's, but not the service's program: only the address decides.
    const Tavrel::Process::Kill::AppPort::Service service{{"127.0.0.1"}, 0, "/nonexistent/ztestd", ""};
    EXPECT_EQ(kill_apps_on_ports({port}, false, {}, service), 1);
    EXPECT_TRUE(ended(in_the_way.pid));
    in_the_way.pid = -1;
    EXPECT_FALSE(ended(other.pid));
    EXPECT_EQ(kill_apps_on_ports({port}, false, {}, service), 0);
    EXPECT_FALSE(ended(other.pid));
}

// A stop ends only the service's own listeners: another account's is never
// the service's, wherever it listens and whatever the service declares (a
// service that names no address and no program included); its own account's
// on an address it does not use is not either, unless it runs its program.
TEST(Judge, AtAStopAnotherAccountsListenerIsNeverTheServices) {
    auto udp = parse_net_table(RESOLVER_UDP, true, false);
    ASSERT_EQ(udp.size(), 2u);
    const Listener& resolver = udp[0];  // 127.0.0.53
    const Listener& loopback = udp[1];  // 127.0.0.1
    const Holder nobody{65534, "/usr/bin/perl", ""};
    const Service bare{{}, 0, "", ""};
    // In a start's way, but another account's: named, never ended.
    EXPECT_EQ(judge(resolver, nobody, bare), Verdict::OtherAccount);
    EXPECT_EQ(judge(resolver, Holder{0, "/usr/bin/perl", ""}, bare), Verdict::SameAddress);
    for (const Service& service : {bare, Service{{"127.0.0.53"}, 0, "", ""}, Service{{"0.0.0.0"}, 0, "", ""},
                                   Service{{}, std::nullopt, "", ""}}) {
        EXPECT_EQ(judge(resolver, nobody, service, {}, Purpose::EndOwn), Verdict::OtherAccount);
        EXPECT_EQ(judge(loopback, nobody, service, {}, Purpose::EndOwn), Verdict::OtherAccount);
    }
    const Holder root_perl{0, "/usr/bin/perl", ""};
    EXPECT_EQ(judge(resolver, root_perl, bare, {}, Purpose::EndOwn), Verdict::SameAddress);
    const Service on_loopback{{"127.0.0.1"}, 0, "", ""};
    EXPECT_EQ(judge(loopback, root_perl, on_loopback, {}, Purpose::EndOwn), Verdict::SameAddress);
    EXPECT_EQ(judge(resolver, root_perl, on_loopback, {}, Purpose::EndOwn), Verdict::OtherAddress);
    EXPECT_EQ(judge(resolver, root_perl, Service{{"127.0.0.1"}, 0, "/usr/bin/perl", ""}, {}, Purpose::EndOwn),
              Verdict::OwnLeftover);
    EXPECT_EQ(judge(resolver, Holder{65534, "", "zp.service"}, Service{{}, 0, "", "zp.service"}, {},
                    Purpose::EndOwn),
              Verdict::OwnUnit);
}

// What still holds a port after a clean-up is told, whether or not it could
// be ended (here this very process, which is never signalled): before a
// second start attempt what sits where the service would listen, at a stop
// what is the service's own.
TEST(StillHeld, NamesWhatTheCleanUpLeftOnThePort) {
    auto [fd, port] = bind_socket(AF_INET, "127.0.0.1", 0, SOCK_STREAM);
    ASSERT_GE(fd, 0);
    const uid_t me = ::geteuid();
    EXPECT_EQ(kill_apps_on_ports({port}, false, {}, Service{{}, me, "", ""}), 0);
    const auto held = still_held({port}, {}, Service{{}, me, "", ""}, Purpose::ClearTheWay);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].pid, ::getpid());
    const std::string text = describe(held);
    EXPECT_NE(text.find("PID " + std::to_string(::getpid()) + " ("), std::string::npos) << text;
    EXPECT_NE(text.find("on 127.0.0.1:" + std::to_string(port)), std::string::npos) << text;
    // Not where the service listens, nor excluded.
    EXPECT_TRUE(still_held({port}, {}, Service{{"127.0.0.2"}, me, "", ""}, Purpose::ClearTheWay).empty());
    EXPECT_TRUE(still_held({port}, {"127.0.0.1"}, Service{{}, me, "", ""}, Purpose::ClearTheWay).empty());
    // At a stop: the service's account's, not another's.
    EXPECT_EQ(still_held({port}, {}, Service{{}, me, "", ""}, Purpose::EndOwn).size(), 1u);
    EXPECT_TRUE(still_held({port}, {}, Service{{}, me + 1, "", ""}, Purpose::EndOwn).empty());
    ::close(fd);
    EXPECT_TRUE(still_held({port}, {}, Service{{}, me, "", ""}, Purpose::ClearTheWay).empty());
}
