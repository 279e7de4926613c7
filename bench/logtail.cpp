// Log retrieval on a huge log: only the tail is ever read.
//
// Makes a 1 GiB sparse log file (a hole, then real lines at the end), and
// times Tavrel::Init::Log::fetch_log_tail (8 KiB from the end) and a
// web-server-sized _read_log (32 KiB, 4096 lines) against `tail -n 5` on the
// same file. The target is under 5 ms a call.
//
//   bench_logtail [rounds]
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Init/Log.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double median_ms(int rounds, const std::function<void()>& f) {
    std::vector<double> t;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        f();
        t.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

void run_tail(const std::string& path) {
    const char* args[] = {"tail", "-n", "5", path.c_str(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, "/usr/bin/tail", &fa, nullptr, const_cast<char**>(args), environ) == 0)
        ::waitpid(pid, nullptr, 0);
    posix_spawn_file_actions_destroy(&fa);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    std::string path = "/tmp/bench-logtail-" + std::to_string(::getpid()) + ".log";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const off_t gib = 1LL << 30;
    std::string tail;
    for (int i = 0; i < 2000; ++i)
        tail += "Dec  8 10:00:00 host apache2[42]: line " + std::to_string(i) + "\n";
    if (fd < 0 || ::ftruncate(fd, gib - static_cast<off_t>(tail.size())) != 0 ||
        ::lseek(fd, 0, SEEK_END) < 0 ||
        ::write(fd, tail.data(), tail.size()) != static_cast<ssize_t>(tail.size())) {
        std::perror("making the sparse log");
        return 1;
    }
    ::close(fd);

    Tavrel::Foundation::Regex filter(Tavrel::Init::Log::program_line_pattern({"httpd", "apache2"}));
    size_t got = 0;
    double t_tail = median_ms(rounds, [&] {
        got = Tavrel::Init::Log::fetch_log_tail(path, 5).second.size();
    });
    double t_web = median_ms(rounds, [&] {
        std::string text;
        Tavrel::Init::Log::_read_log(
            text, {.path = path, .read_bytes = 32768, .max_messages = 4096, .log_regex = &filter});
        got += text.size();
    });
    double t_sys = median_ms(std::min(rounds, 50), [&] { run_tail(path); });
    std::printf("1 GiB sparse log, median of %d calls\n", rounds);
    std::printf("fetch_log_tail (8 KiB, 5 lines)            %8.4f ms\n", t_tail);
    std::printf("_read_log (32 KiB, 4096 lines, filtered)   %8.4f ms\n", t_web);
    std::printf("tail -n 5 (spawned, for comparison)        %8.4f ms   ratio %.4f\n", t_sys,
                t_tail / t_sys);
    ::unlink(path.c_str());
    return (got > 0 && t_tail < 5 && t_web < 5) ? 0 : 1;
}
