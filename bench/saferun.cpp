// Compares the command runner with the bare system calls it wraps, side by
// side in one run, and prints the ratios.
//
// 1. Start cost: Tavrel::Run::SafeRun::Object running /bin/true (pipes for both
//    streams, /dev/null input, cleaned environment, reaped) against a bare
//    posix_spawn + waitpid of /bin/true that inherits everything. Rounds
//    alternate between the two so that machine noise hits both alike.
// 2. Throughput: one child writing 64 MiB to standard output and 64 MiB to
//    standard error, interleaved in 1 MiB writes. The runner captures both
//    into memory; the reference drains the same two pipes with two `cat`
//    processes writing to /dev/null (the cheapest reader a shell pipeline
//    would give). Both times include starting the producer and reaping all.
//
// Usage: bench_saferun [iterations] [MiB per stream]
#include "Tavrel/Run/SafeRun/Object.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

pid_t spawn(const std::vector<std::string>& cmd, int in, int out, int err) {
    std::vector<char*> argv;
    for (const auto& a : cmd)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (in >= 0)
        posix_spawn_file_actions_adddup2(&fa, in, 0);
    if (out >= 0)
        posix_spawn_file_actions_adddup2(&fa, out, 1);
    if (err >= 0)
        posix_spawn_file_actions_adddup2(&fa, err, 2);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

void reap(pid_t pid) {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

void bench_start(int iterations) {
    std::vector<double> bare, ours;
    const int rounds = 10;
    const int per_round = std::max(1, iterations / rounds);
    for (int i = 0; i < 20; ++i) {  // warm up both (page cache, password entry, caches)
        reap(spawn({"/bin/true"}, -1, -1, -1));
        Tavrel::Run::SafeRun::Object run({.program = "/bin/true"});
    }
    for (int r = 0; r < rounds; ++r) {
        auto t = Clock::now();
        for (int i = 0; i < per_round; ++i)
            reap(spawn({"/bin/true"}, -1, -1, -1));
        bare.push_back(since(t) / per_round);
        t = Clock::now();
        for (int i = 0; i < per_round; ++i) {
            Tavrel::Run::SafeRun::Object run({.program = "/bin/true"});
            if (run.CHILD_ERROR() != 0)
                std::abort();
        }
        ours.push_back(since(t) / per_round);
    }
    std::sort(bare.begin(), bare.end());
    std::sort(ours.begin(), ours.end());
    const double b = bare[bare.size() / 2], o = ours[ours.size() / 2];
    std::printf("start /bin/true (%d runs each, median of %d rounds)\n", per_round * rounds,
                rounds);
    std::printf("  posix_spawn+waitpid      %8.1f us\n", b * 1e6);
    std::printf("  SafeRun::Object          %8.1f us\n", o * 1e6);
    std::printf("  ratio                    %8.3f  (target <= 1.2)\n", o / b);
}

std::vector<std::string> producer(int mib) {
    return {"/usr/bin/perl", "-e",
            "my $b = qq(\\0) x 1048576; for (1.." + std::to_string(mib) +
                ") { for my $fh (*STDOUT, *STDERR) { my $o = 0; while ($o < length $b) "
                "{ my $n = syswrite($fh, $b, length($b) - $o, $o); die $! unless defined $n; "
                "$o += $n } } }"};
}

double reference_pipeline(int mib) {
    const auto t = Clock::now();
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        std::abort();
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t p = spawn(producer(mib), -1, out[1], err[1]);
    ::close(out[1]);
    ::close(err[1]);
    const pid_t c1 = spawn({"/bin/cat"}, out[0], null, -1);
    const pid_t c2 = spawn({"/bin/cat"}, err[0], null, -1);
    ::close(out[0]);
    ::close(err[0]);
    ::close(null);
    reap(p);
    reap(c1);
    reap(c2);
    return since(t);
}

// A stream that drops everything: the runner reads both pipes and discards,
// exactly the work the two cats do.
class NullBuf : public std::streambuf {
  protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

double runner_discard(int mib) {
    const auto t = Clock::now();
    const auto cmd = producer(mib);
    NullBuf nb;
    std::ostream out(&nb), err(&nb);
    Tavrel::Run::SafeRun::Object run({.program = cmd[0],
                                 .args = std::vector<std::string>(cmd.begin() + 1, cmd.end()),
                                 .stdout_to = &out,
                                 .stderr_to = &err});
    if (run.CHILD_ERROR() != 0)
        std::exit(1);
    return since(t);
}

double runner(int mib) {
    const auto t = Clock::now();
    const auto cmd = producer(mib);
    Tavrel::Run::SafeRun::Object run(
        {.program = cmd[0], .args = std::vector<std::string>(cmd.begin() + 1, cmd.end())});
    const std::size_t want = static_cast<std::size_t>(mib) << 20;
    if (run.CHILD_ERROR() != 0 || run.stdout_text().size() != want ||
        run.stderr_text().size() != want) {
        std::fprintf(stderr, "runner: wrong result (%s, %zu, %zu)\n", run.terse_autopsy().c_str(),
                     run.stdout_text().size(), run.stderr_text().size());
        std::exit(1);
    }
    return since(t);
}

void bench_throughput(int mib) {
    std::vector<double> ref, drop, keep;
    runner(mib);  // warm up
    reference_pipeline(mib);
    for (int i = 0; i < 5; ++i) {
        ref.push_back(reference_pipeline(mib));
        drop.push_back(runner_discard(mib));
        keep.push_back(runner(mib));
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double r = median(ref), d = median(drop), k = median(keep);
    const double total = 2.0 * mib;
    std::printf("read %d MiB stdout + %d MiB stderr (median of 5)\n", mib, mib);
    std::printf("  producer | 2x cat > /dev/null  %8.1f ms  %7.0f MiB/s\n", r * 1e3, total / r);
    std::printf(
        "  SafeRun::Object, discarding    %8.1f ms  %7.0f MiB/s  ratio %.3f (target <= 1.5)\n",
        d * 1e3, total / d, d / r);
    std::printf(
        "  SafeRun::Object, capturing     %8.1f ms  %7.0f MiB/s  ratio %.3f (keeps %d MiB)\n",
        k * 1e3, total / k, k / r, 2 * mib);
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int mib = argc > 2 ? std::atoi(argv[2]) : 64;
    bench_start(iterations);
    bench_throughput(mib);
    return 0;
}
