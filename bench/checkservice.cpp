// check_service by pid file for a running daemon: what the service core pays
// for each status poll.
//
// Starts a sleeping program under a name of its own, writes its pid file, and
// times Tavrel::Init::check_service (pid file, /proc confirmation and
// the status line) over many rounds. The target is at most 0.2 ms a call.
//
//   bench_checkservice [rounds]
#include "Tavrel/Init/CheckService.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    std::string name = "benchsvc" + std::to_string(::getpid());
    pid_t child = ::fork();
    if (child == 0) {
        ::execl("/bin/sleep", name.c_str(), "600", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::usleep(50000);  // let it exec
    std::string pidfile = "/tmp/" + name + ".pid";
    std::ofstream(pidfile) << child << "\n";

    Tavrel::Init::CheckServiceOptions o;
    o.service = name;
    o.user = ::geteuid() == 0 ? "root" : std::to_string(::geteuid());
    o.pidfile = pidfile;
    o.ignore_systemd = true;

    std::string status = Tavrel::Init::check_service(o);  // warm caches (account file)
    std::printf("status: %s\n", status.c_str());
    std::vector<double> times;
    times.reserve(static_cast<size_t>(rounds));
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        auto s = Tavrel::Init::check_service(o);
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (s.empty()) {
            std::printf("the daemon was not found running\n");
            return 1;
        }
    }
    std::sort(times.begin(), times.end());
    double median = times[times.size() / 2];
    std::printf("check_service by pid file: median %.4f ms, best %.4f ms, p95 %.4f ms over %d "
                "calls (target <= 0.2 ms)\n",
                median, times.front(), times[times.size() * 95 / 100], rounds);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::unlink(pidfile.c_str());
    return median <= 0.2 ? 0 : 1;
}
