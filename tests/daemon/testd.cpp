// zidavoveva_testd: the project's own test daemon. End-to-end tests start
// and stop it through its init script or unit file (templates beside this
// file) and choose its behaviour through options, given on the command line
// or, one per line without the leading dashes ("ignore-term",
// "pidfile-delay=2"), in the file named by --config or by the environment
// variable ZIDAVOVEVA_TESTD_CONFIG. Command-line options come first; the
// file's lines are applied after them and again on every SIGHUP.
//
//   --name NAME            name written in messages and records (default "testd")
//   --pidfile PATH         write the pid here (atomically: temporary file and
//                          rename); removed on an orderly stop
//   --pidfile-delay SECS   write the pid file only SECS seconds after starting
//   --record PATH          append one line per event, "<unix time, to the
//                          millisecond> <pid> <event>",
//                          events: start, reload, restart, stop, term-ignored,
//                          crash, and launch from each process that --daemonize
//                          forks through on the way to the daemon (they run
//                          the daemon's program for a moment, as part of it);
//                          opened for each line in append mode, so the records
//                          of several processes keep their order
//   --fail MESSAGE         print "NAME: starting" on standard output, then
//                          MESSAGE on standard error, and exit with --exit-code
//                          (default 1) without starting
//   --exit-code N          the exit status of --fail and --exit-after
//   --exit-after SECS      run SECS seconds (a delayed pid file is written
//                          first when due), then exit with --exit-code,
//                          leaving the pid file behind: a daemon that
//                          crashes after going to the background
//   --ignore-term          keep running on SIGTERM (records term-ignored)
//   --start-delay SECS     take SECS seconds before listening and being ready
//                          (a daemon that loads a lot before it serves)
//   --stop-delay SECS      take SECS seconds to exit after SIGTERM (a daemon
//                          that finishes its work first)
//   --daemonize            fork twice with a new session in between; the
//                          first process exits 0 once the daemon is ready
//                          (listening, before a delayed pid file)
//   --listen PORT          listen on 127.0.0.1:PORT (TCP), accept and close
//   --listen-address ADDR  listen on this IPv4 address instead of 127.0.0.1
//   --udp                  also bind a UDP socket on the same address and port
//                          (not kept across a graceful restart)
//   --config PATH          the option file described above
//
// Signals: HUP re-reads the option file and records reload; USR1 records
// restart and executes the program again in place with the same arguments
// (same pid, the pid file written anew: a graceful restart); TERM and INT
// record stop, remove the pid file and exit 0 (unless ignored).
//
// Standard output gets "NAME: starting" and standard error "NAME: started
// (pid N)", so a startup log shows both streams.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct Settings {
    std::string name = "testd";
    std::string pidfile;
    double pidfile_delay = 0;
    double exit_after = -1;
    double start_delay = 0;
    double stop_delay = 0;
    std::string record;
    bool fail = false;
    std::string fail_message;
    int exit_code = 1;
    bool ignore_term = false;
    bool daemonize = false;
    int listen_port = 0;
    std::string listen_address = "127.0.0.1";
    bool udp = false;
    std::string config;
};

Settings settings;
volatile sig_atomic_t got_hup = 0, got_usr1 = 0, got_term = 0;

[[noreturn]] void usage(const std::string& why) {
    std::cerr << "zidavoveva_testd: " << why << "\n";
    std::exit(64);
}

void apply(const std::string& key, const std::string& value, bool has_value) {
    auto need = [&] {
        if (!has_value)
            usage("option " + key + " needs a value");
    };
    if (key == "name") { need(); settings.name = value; }
    else if (key == "pidfile") { need(); settings.pidfile = value; }
    else if (key == "pidfile-delay") { need(); settings.pidfile_delay = std::atof(value.c_str()); }
    else if (key == "record") { need(); settings.record = value; }
    else if (key == "fail") { need(); settings.fail = true; settings.fail_message = value; }
    else if (key == "exit-code") { need(); settings.exit_code = std::atoi(value.c_str()); }
    else if (key == "exit-after") { need(); settings.exit_after = std::atof(value.c_str()); }
    else if (key == "start-delay") { need(); settings.start_delay = std::atof(value.c_str()); }
    else if (key == "stop-delay") { need(); settings.stop_delay = std::atof(value.c_str()); }
    else if (key == "ignore-term") settings.ignore_term = !has_value || value != "0";
    else if (key == "daemonize") settings.daemonize = !has_value || value != "0";
    else if (key == "listen") { need(); settings.listen_port = std::atoi(value.c_str()); }
    else if (key == "listen-address") { need(); settings.listen_address = value; }
    else if (key == "udp") settings.udp = !has_value || value != "0";
    else if (key == "config") { need(); settings.config = value; }
    else usage("unknown option " + key);
}

void read_config() {
    if (settings.config.empty())
        return;
    std::ifstream in(settings.config);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        auto eq = line.find('=');
        if (eq == std::string::npos)
            apply(line, "", false);
        else
            apply(line.substr(0, eq), line.substr(eq + 1), true);
    }
}

void parse(int argc, char** argv) {
    if (const char* env = std::getenv("ZIDAVOVEVA_TESTD_CONFIG"))
        settings.config = env;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0)
            usage("unexpected argument " + arg);
        arg = arg.substr(2);
        auto eq = arg.find('=');
        if (eq != std::string::npos) {
            apply(arg.substr(0, eq), arg.substr(eq + 1), true);
            continue;
        }
        const bool flag = arg == "ignore-term" || arg == "daemonize" || arg == "udp";
        if (flag) {
            apply(arg, "", false);
        } else {
            if (i + 1 >= argc)
                usage("option " + arg + " needs a value");
            apply(arg, argv[++i], true);
        }
    }
    read_config();
}

void record(const std::string& event) {
    if (settings.record.empty())
        return;
    // Milliseconds: an observer orders a daemon's start and end against
    // what a run said about it.
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    char when[32];
    std::snprintf(when, sizeof when, "%lld.%03ld", static_cast<long long>(now.tv_sec), now.tv_nsec / 1000000);
    const std::string line = std::string(when) + " " + std::to_string(::getpid()) + " " + event + "\n";
    int fd = ::open(settings.record.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    (void)!::write(fd, line.data(), line.size());
    ::close(fd);
}

void write_pidfile() {
    if (settings.pidfile.empty())
        return;
    const std::string tmp = settings.pidfile + ".tmp." + std::to_string(::getpid());
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << ::getpid() << "\n";
    }
    ::chmod(tmp.c_str(), 0644);
    if (std::rename(tmp.c_str(), settings.pidfile.c_str()) != 0)
        std::cerr << settings.name << ": cannot write " << settings.pidfile << ": "
                  << std::strerror(errno) << "\n";
}

void on_signal(int sig) {
    if (sig == SIGHUP) got_hup = 1;
    else if (sig == SIGUSR1) got_usr1 = 1;
    else got_term = 1;
}

// A socket of `type` bound to the listening address and port; exits 3 when
// it cannot be had.
int bound_socket(int type) {
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(settings.listen_port));
    if (::inet_pton(AF_INET, settings.listen_address.c_str(), &addr.sin_addr) != 1)
        usage("not an IPv4 address: " + settings.listen_address);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 16) != 0)) {
        std::cerr << settings.name << ": cannot listen on " << settings.listen_address << ":"
                  << settings.listen_port << (type == SOCK_DGRAM ? " (UDP)" : "") << ": "
                  << std::strerror(errno) << "\n";
        std::exit(3);
    }
    return fd;
}

int open_listener() {
    if (settings.listen_port <= 0)
        return -1;
    return bound_socket(SOCK_STREAM);
}

}  // namespace

int main(int argc, char** argv) {
    parse(argc, argv);
    const bool restarted = std::getenv("ZIDAVOVEVA_TESTD_RESTARTED") != nullptr;
    ::unsetenv("ZIDAVOVEVA_TESTD_RESTARTED");
    std::cout << settings.name << ": starting" << std::endl;
    if (settings.fail) {
        std::cerr << settings.fail_message << std::endl;
        return settings.exit_code;
    }

    if (settings.start_delay > 0 && !restarted)
        ::usleep(static_cast<useconds_t>(settings.start_delay * 1e6));

    // A graceful restart arrives here through exec with the listener kept.
    int listener = -1;
    if (const char* inherited = std::getenv("ZIDAVOVEVA_TESTD_LISTEN_FD")) {
        listener = std::atoi(inherited);
        ::unsetenv("ZIDAVOVEVA_TESTD_LISTEN_FD");
    } else {
        listener = open_listener();
    }
    // Held for the daemon's life; only its port matters.
    if (settings.udp && settings.listen_port > 0)
        (void)bound_socket(SOCK_DGRAM);

    int ready[2] = {-1, -1};
    if (settings.daemonize && !restarted) {
        if (::pipe2(ready, O_CLOEXEC) != 0)
            return 2;
        record("launch");
        pid_t first = ::fork();
        if (first < 0)
            return 2;
        if (first > 0) {
            // The launcher: exit once the daemon says it is ready.
            ::close(ready[1]);
            char byte = 0;
            ssize_t n;
            do n = ::read(ready[0], &byte, 1); while (n < 0 && errno == EINTR);
            ::waitpid(first, nullptr, 0);
            return n == 1 ? 0 : 1;
        }
        ::setsid();
        record("launch");
        pid_t second = ::fork();
        if (second < 0)
            ::_exit(2);
        if (second > 0)
            ::_exit(0);
        ::close(ready[0]);
        if (::chdir("/") != 0)
            ::_exit(2);
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGHUP, SIGUSR1, SIGTERM, SIGINT})
        ::sigaction(sig, &sa, nullptr);

    record(restarted ? "restarted" : "start");
    std::cerr << settings.name << ": started (pid " << ::getpid() << ")" << std::endl;
    if (ready[1] >= 0) {
        (void)!::write(ready[1], "r", 1);
        ::close(ready[1]);
    }

    const auto began = std::chrono::steady_clock::now();
    bool pidfile_written = false;
    for (;;) {
        if (!pidfile_written && std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                              began).count() >=
                                    settings.pidfile_delay) {
            write_pidfile();
            pidfile_written = true;
        }
        if (settings.exit_after >= 0 &&
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count() >=
                settings.exit_after) {
            record("crash");
            std::cerr << settings.name << ": giving up" << std::endl;
            return settings.exit_code;
        }
        if (listener >= 0) {
            int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0)
                ::close(c);
        }
        if (got_term) {
            got_term = 0;
            if (settings.ignore_term) {
                record("term-ignored");
            } else {
                record("stop");
                if (settings.stop_delay > 0)
                    ::usleep(static_cast<useconds_t>(settings.stop_delay * 1e6));
                if (!settings.pidfile.empty() && pidfile_written)
                    ::unlink(settings.pidfile.c_str());
                return 0;
            }
        }
        if (got_hup) {
            got_hup = 0;
            read_config();
            record("reload");
        }
        if (got_usr1) {
            got_usr1 = 0;
            record("restart");
            ::setenv("ZIDAVOVEVA_TESTD_RESTARTED", "1", 1);
            // The new image keeps the pid and the listener, and does not
            // daemonize again.
            if (listener >= 0) {
                ::fcntl(listener, F_SETFD, 0);
                ::setenv("ZIDAVOVEVA_TESTD_LISTEN_FD", std::to_string(listener).c_str(), 1);
            }
            ::execv("/proc/self/exe", argv);
            std::cerr << settings.name << ": restart failed: " << std::strerror(errno) << "\n";
        }
        ::usleep(20000);
    }
}
