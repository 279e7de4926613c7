// /proc/net/{tcp,tcp6,udp,udp6} tables (the port clean-up's listeners) and
// the descriptor link texts that tie a socket to a process.
#include "Check.h"

#include "Tavrel/Process/Kill/AppPort.h"

#include <arpa/inet.h>

namespace AP = Tavrel::Process::Kill::AppPort;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = Fuzz::text(data, size);
    for (bool udp : {false, true}) {
        for (bool ipv6 : {false, true}) {
            for (const auto& l : AP::parse_net_table(text, udp, ipv6)) {
                FUZZ_CHECK(l.port >= 0 && l.port <= 65535);
                FUZZ_CHECK(l.inode != 0);
                unsigned char buf[16];
                FUZZ_CHECK(::inet_pton(ipv6 ? AF_INET6 : AF_INET, l.address.c_str(), buf) == 1);
            }
        }
    }
    if (auto inode = AP::socket_inode(text))
        FUZZ_CHECK(text == "socket:[" + std::to_string(*inode) + "]" || text[8] == '0');
    return 0;
}
