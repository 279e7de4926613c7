// Tavrel::TestSupport::TestChild: real processes for the tests of the process
// layer (header only; not part of the library). Every child is ended by pid
// and reaped when its object goes, so tests only ever signal processes they
// started themselves.
//
//   auto c = TestChild::spawn("/bin/sleep", {TestChild::unique_name("tv"), "30"});
//   auto d = TestChild::spawn("/bin/sleep", {"name", "30"}, {.ignore_term = true});
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace Tavrel::TestSupport::TestChild {

// A name no other test process uses: prefix, our pid, a counter.
inline std::string unique_name(const std::string& prefix) {
    static std::atomic<int> counter{0};
    return prefix + std::to_string(::getpid()) + "x" + std::to_string(counter++);
}

struct SpawnOptions {
    bool ignore_term = false;
    // Run the program under an intermediate process of ours, so the target
    // is not the test's own child (as a real daemon would not be); the
    // intermediate exits with 100 + the signal that ended the target.
    bool supervised = false;
    int stdin_fd = -1;
};

class Child {
  public:
    Child() = default;
    Child(pid_t pid, pid_t supervisor) : pid_(pid), supervisor_(supervisor) {
        // The target of a supervisor is not ours to reap: hold it by a pidfd
        // so that ending it never reaches a later process with its pid.
        if (supervisor_)
            pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    }
    Child(Child&& o) noexcept
        : pid_(o.pid_), supervisor_(o.supervisor_), reaped_(o.reaped_), pidfd_(o.pidfd_) {
        o.pid_ = o.supervisor_ = 0;
        o.pidfd_ = -1;
    }
    Child& operator=(Child&&) = delete;
    ~Child() {
        stop();
        if (pidfd_ >= 0)
            ::close(pidfd_);
    }

    // Waits for a direct child and returns its wait status.
    int wait() {
        int status = 0;
        if (!supervisor_ && !reaped_ && ::waitpid(pid_, &status, 0) == pid_)
            reaped_ = true;
        return status;
    }

    pid_t pid() const { return pid_; }
    // Ends the process by pid (if it is still ours) and reaps it.
    void stop() {
        if (pid_ > 1 && !supervisor_ && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            reaped_ = true;
        }
        if (pidfd_ >= 0)
            ::syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0);
        if (supervisor_ > 1) {
            ::kill(supervisor_, SIGKILL);
            ::waitpid(supervisor_, nullptr, 0);
            supervisor_ = 0;
        }
    }
    // For a supervised child: the signal that ended the target (0 for none)
    // once the supervisor reported it, waiting up to `seconds`.
    std::optional<int> ended_by(double seconds = 2) {
        auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < until) {
            int status = 0;
            pid_t r = ::waitpid(supervisor_, &status, WNOHANG);
            if (r == supervisor_) {
                supervisor_ = 0;
                if (WIFEXITED(status) && WEXITSTATUS(status) >= 100)
                    return WEXITSTATUS(status) - 100;
                return 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return std::nullopt;
    }

  private:
    pid_t pid_ = 0;
    pid_t supervisor_ = 0;
    bool reaped_ = false;
    int pidfd_ = -1;
};

// Only async-signal-safe calls between fork and exec.
inline pid_t fork_exec(const std::string& program, const std::vector<std::string>& argv,
                       const SpawnOptions& o) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (o.ignore_term)
            ::signal(SIGTERM, SIG_IGN);
        if (o.stdin_fd >= 0)
            ::dup2(o.stdin_fd, 0);
        ::execv(program.c_str(), args.data());
        ::_exit(127);
    }
    return pid;
}

// Waits until the process has executed (its command line is the new one).
inline void wait_exec(pid_t pid, const std::string& argv0) {
    std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
    for (int i = 0; i < 400; ++i) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            char buf[4096];
            ssize_t n = ::read(fd, buf, sizeof buf);
            ::close(fd);
            if (n > 0 && std::string(buf, ::strnlen(buf, static_cast<size_t>(n))) == argv0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

inline Child spawn(const std::string& program, const std::vector<std::string>& argv,
                   SpawnOptions o = {}) {
    if (!o.supervised) {
        pid_t pid = fork_exec(program, argv, o);
        wait_exec(pid, argv.at(0));
        return Child(pid, 0);
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return Child();
    pid_t sup = ::fork();
    if (sup == 0) {
        ::close(fds[0]);
        pid_t target = fork_exec(program, argv, o);
        (void)::write(fds[1], &target, sizeof target);
        int status = 0;
        while (::waitpid(target, &status, 0) < 0) {
        }
        ::_exit(WIFSIGNALED(status) ? 100 + WTERMSIG(status) : 0);
    }
    ::close(fds[1]);
    pid_t target = 0;
    (void)::read(fds[0], &target, sizeof target);
    ::close(fds[0]);
    wait_exec(target, argv.at(0));
    return Child(target, sup);
}

}  // namespace Tavrel::TestSupport::TestChild
