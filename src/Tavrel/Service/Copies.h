// Tavrel::Service::Copies: the running copies of a daemon that the
// tool launches by its own program, found without a pid file. A daemon that
// never writes its pid file cannot be found by it, so every start attempt
// would launch one more copy and a stop would find none of them.
//
//   auto copies = Copies::find("/usr/sbin/zd", {"--daemon"}, 0);
//   Copies::end(copies, 5);                   // TERM, then KILL after 5 s
//   std::string text = Copies::describe(copies);  // "PID 42 (/usr/sbin/zd --daemon)"
//
// A copy runs the very program (its executable, a program replaced on disk
// included), with exactly the arguments the tool launches it with, as the
// given owner. Those three together tell the service's daemon from another
// service that runs the same program (a second listener of a mail server,
// say) and from the processes a daemon hands work to (an SSH session runs the
// server's program under a command line of its own). This process, its
// ancestors, pid 1 and zombies are never copies.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace Tavrel::Service::Copies {

struct Copy {
    pid_t pid = 0;
    std::string command;  // the command line, words joined by spaces
};

std::vector<Copy> find(const std::string& program, const std::vector<std::string>& args,
                       std::optional<uid_t> owner);

// Ends the copies: TERM, `grace` seconds, KILL, `grace` seconds more. True
// when all have gone.
bool end(const std::vector<Copy>& copies, double grace);

// "PID 42 (/usr/sbin/zd --daemon), PID 43 (...)".
std::string describe(const std::vector<Copy>& copies);

}  // namespace Tavrel::Service::Copies
