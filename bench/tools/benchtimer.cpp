// Times two commands side by side: wall time and peak resident memory of
// each run, the runs interleaved (A, B, A, B ...) so that a busy machine
// weighs on both alike, and prints one Markdown table row with the medians
// and the ratio A/B.
//
//   benchtimer [-n ROUNDS] [-w WARMUP] [-l LABEL] [-t RATIO] [-T MS] [-R MIB]
//              -- A... -- B...
//
// The targets, when given, fill the last column: A/B at most RATIO, A's
// median at most MS milliseconds, A's peak RSS at most MIB MiB.
//
// Each command runs directly (no shell) with standard input, output and
// error on /dev/null. The peak RSS is the one wait4 reports: the largest
// process of the command's tree, in KiB. A run that exits non-zero is
// counted and shown; the exit status is 1 when any run of A or B failed.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Sample {
    double ms;
    long rss_kib;
    int status;
};

double now_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

Sample run(const std::vector<char*>& argv) {
    Sample s{0, 0, -1};
    const double t0 = now_ms();
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("benchtimer: fork");
        std::exit(2);
    }
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage ru{};
    while (::wait4(pid, &status, 0, &ru) < 0) {
        if (errno != EINTR) {
            std::perror("benchtimer: wait4");
            std::exit(2);
        }
    }
    s.ms = now_ms() - t0;
    s.rss_kib = ru.ru_maxrss;
    s.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return s;
}

template <typename T>
T median(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Summary {
    double ms, best_ms;
    long rss_kib;
    int failures, last_failure;
};

Summary summarise(const std::vector<Sample>& runs) {
    std::vector<double> ms;
    std::vector<long> rss;
    Summary s{0, 0, 0, 0, 0};
    for (const auto& r : runs) {
        ms.push_back(r.ms);
        rss.push_back(r.rss_kib);
        if (r.status != 0) {
            ++s.failures;
            s.last_failure = r.status;
        }
    }
    s.ms = median(ms);
    s.best_ms = *std::min_element(ms.begin(), ms.end());
    s.rss_kib = *std::max_element(rss.begin(), rss.end());
    return s;
}

int usage() {
    std::fprintf(stderr, "usage: benchtimer [-n ROUNDS] [-w WARMUP] [-l LABEL] [-t RATIO] [-T MS] "
                         "[-R MIB] -- A... -- B...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 20, warmup = 2;
    std::string label;
    double max_ratio = 0, max_ms = 0, max_mib = 0;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (i + 1 >= argc)
            return usage();
        if (!std::strcmp(argv[i], "-n"))
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "-w"))
            warmup = std::max(0, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "-l"))
            label = argv[++i];
        else if (!std::strcmp(argv[i], "-t"))
            max_ratio = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "-T"))
            max_ms = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "-R"))
            max_mib = std::atof(argv[++i]);
        else
            return usage();
    }
    std::vector<char*> a, b;
    std::vector<char*>* into = &a;
    for (++i; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--") && into == &a)
            into = &b;
        else
            into->push_back(argv[i]);
    }
    if (a.empty() || b.empty())
        return usage();
    a.push_back(nullptr);
    b.push_back(nullptr);

    for (int w = 0; w < warmup; ++w) {
        run(a);
        run(b);
    }
    std::vector<Sample> ra, rb;
    for (int r = 0; r < rounds; ++r) {
        // Alternate which goes first, so neither always follows the other.
        if (r % 2 == 0) {
            ra.push_back(run(a));
            rb.push_back(run(b));
        } else {
            rb.push_back(run(b));
            ra.push_back(run(a));
        }
    }
    const Summary sa = summarise(ra), sb = summarise(rb);
    auto failures = [](const Summary& s) {
        return s.failures ? " (" + std::to_string(s.failures) + " failed, status " +
                                std::to_string(s.last_failure) + ")"
                          : std::string();
    };
    const double ratio = sa.ms / sb.ms, mib_a = static_cast<double>(sa.rss_kib) / 1024;
    std::string verdict;
    char buf[96];
    if (max_ratio > 0) {
        std::snprintf(buf, sizeof buf, "%s ratio <= %.2g", ratio <= max_ratio ? "met:" : "MISSED:",
                      max_ratio);
        verdict += buf;
    }
    if (max_ms > 0) {
        std::snprintf(buf, sizeof buf, "%s%s <= %.4g ms", verdict.empty() ? "" : ", ",
                      sa.ms <= max_ms ? "met:" : "MISSED:", max_ms);
        verdict += buf;
    }
    if (max_mib > 0) {
        std::snprintf(buf, sizeof buf, "%s%s <= %.3g MiB", verdict.empty() ? "" : ", ",
                      mib_a <= max_mib ? "met:" : "MISSED:", max_mib);
        verdict += buf;
    }
    // | what | A median ms (best) | B median ms (best) | A/B | A peak RSS | B peak RSS | rounds | targets |
    std::printf("| %s | %.2f (%.2f)%s | %.2f (%.2f)%s | %.2f | %.1f MiB | %.1f MiB | %d | %s |\n",
                label.c_str(), sa.ms, sa.best_ms, failures(sa).c_str(), sb.ms, sb.best_ms,
                failures(sb).c_str(), ratio, mib_a, static_cast<double>(sb.rss_kib) / 1024, rounds,
                verdict.c_str());
    return sa.failures || sb.failures ? 1 : 0;
}
