// Process table speed, side by side with the system tools in one run.
//
// Starts PROCESSES copies of a sleeping program under a name of its own, then
// times get_pids_by_name against `pgrep -x` and `pidof` for that name, and
// fast_parse_ps (with command lines) against `ps -eo pid,user,ppid,stat,ni,args`.
// The tools are started with posix_spawn (no shell) and their output is read
// and discarded, so each figure is what a caller pays for one answer.
//
//   bench_psparser [processes] [rounds]
#include "Tavrel/Process/PsParser.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

pid_t spawn(const std::string& program, const std::vector<std::string>& argv, int out_fd) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Runs a tool to its end, reading (and counting) its output.
size_t run_tool(const std::string& program, const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        std::exit(1);
    pid_t pid = spawn(program, argv, fds[1]);
    ::close(fds[1]);
    char buf[65536];
    size_t total = 0;
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
        total += static_cast<size_t>(n);
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return total;
}

// Best of `rounds`, in seconds.
double best_of(int rounds, const std::function<void()>& f) {
    double best = 1e9;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    return best;
}

size_t count_processes() {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        auto name = e.path().filename().string();
        if (std::all_of(name.begin(), name.end(), ::isdigit))
            ++n;
    }
    return n;
}

void report(const char* what, double ours, const char* tool, double theirs, size_t table) {
    std::printf("%-34s %9.2f ms  %6.2f us/process | %-40s %9.2f ms | ratio %.2f\n", what,
                ours * 1e3, ours * 1e6 / static_cast<double>(table), tool, theirs * 1e3,
                ours / theirs);
}

}  // namespace

int main(int argc, char** argv) {
    int processes = argc > 1 ? std::atoi(argv[1]) : 2000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
    std::string pgrep = "/usr/bin/pgrep", pidof = "/usr/bin/pidof", ps = "/usr/bin/ps";
    if (::access("/bin/pidof", X_OK) == 0)
        pidof = "/bin/pidof";

    // A copy of sleep under a short name of its own, so the kernel's name,
    // the first argument and the executable all carry it.
    char dir_template[] = "/tmp/tvbenchXXXXXX";
    if (!::mkdtemp(dir_template))
        return 1;
    std::string name = "tvb" + std::to_string(::getpid() % 100000);
    std::string exe = std::string(dir_template) + "/" + name;
    std::filesystem::copy_file("/bin/sleep", exe);
    ::chmod(exe.c_str(), 0755);

    std::vector<pid_t> children;
    for (int i = 0; i < processes; ++i) {
        pid_t pid = spawn(exe, {exe, "600"}, -1);
        if (pid > 0)
            children.push_back(pid);
    }
    ::usleep(300000);
    size_t table = count_processes();
    std::printf("%zu sleeping copies started; %zu processes in the table; best of %d rounds\n\n",
                children.size(), table, rounds);

    size_t found = 0;
    double ours = best_of(rounds, [&] { found = Tavrel::Process::PsParser::get_pids_by_name(name).size(); });
    double t_pgrep = best_of(rounds, [&] { run_tool(pgrep, {"pgrep", "-x", name}); });
    double t_pidof = best_of(rounds, [&] { run_tool(pidof, {"pidof", name}); });
    std::printf("get_pids_by_name found %zu processes\n", found);
    report("get_pids_by_name", ours, "pgrep -x", t_pgrep, table);
    report("get_pids_by_name", ours, "pidof", t_pidof, table);

    size_t rows = 0;
    double parse = best_of(rounds, [&] { rows = Tavrel::Process::PsParser::fast_parse_ps().size(); });
    double t_ps = best_of(rounds, [&] {
        run_tool(ps, {"ps", "-eo", "pid,user,ppid,stat,ni,args"});
    });
    std::printf("fast_parse_ps listed %zu processes\n", rows);
    report("fast_parse_ps (command lines)", parse, "ps -eo pid,user,ppid,stat,ni,args", t_ps,
           table);

    for (pid_t pid : children)
        ::kill(pid, SIGKILL);
    for (pid_t pid : children)
        ::waitpid(pid, nullptr, 0);
    ::unlink(exe.c_str());
    ::rmdir(dir_template);
    return 0;
}
