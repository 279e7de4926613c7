// zidavoveva_testinit: a minimal first process for sandboxes whose init is
// not systemd. It runs one command, reaps every orphan that the sandbox's
// daemons leave behind (as a real init does), and when the command ends it
// ends every other process of the sandbox and exits with the command's
// status (128 plus the signal for a death by signal).
//
//   unshare --pid --fork ... zidavoveva_testinit /bin/sh -c 'run the tests'
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s command [args...]\n", argv[0]);
        return 64;
    }
    const pid_t command = ::fork();
    if (command < 0)
        return 71;
    if (command == 0) {
        ::execvp(argv[1], argv + 1);
        std::perror(argv[1]);
        ::_exit(127);
    }
    int code = 0;
    for (;;) {
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, 0);
        if (pid < 0 && errno == EINTR)
            continue;
        if (pid < 0)
            break;
        if (pid == command) {
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
    }
    ::kill(-1, SIGKILL);
    while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
    return code;
}
