// The systemd backend's status text for a running unit against
// `systemctl status UNIT`, side by side in one run, on a real systemd.
//
// systemd runs only inside the throw-away machine of
// tests/e2e/systemd-sandbox.sh, so the program starts itself there (as root;
// elsewhere it says why it cannot and exits 0). Inside, it writes a unit that
// runs one /bin/sleep, starts it, and then alternates rounds of
//   - Manager::Systemd::status_helper (is-active, the MainPID query, and the
//     service check of that pid through /proc), and
//   - /bin/systemctl status UNIT (the administrator's own look, journal
//     lines included), spawned with the same runner.
// It also counts the systemctl runs one status text costs, through a wrapper
// that logs each run.
//
// Usage: bench_systemd_status [rounds]
#include "Tavrel/Run/SafeRun/Object.h"
#include "Tavrel/Init/Systemd/Backend.h"
#include "Tavrel/Init/CheckService.h"
#include "Tavrel/Init/Systemd/Systemctl.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace Sd = Tavrel::Init::Systemd::Systemctl;
namespace M = Tavrel::Init::Systemd;

const char* const UNIT = "tvtbench";

class BenchService : public Tavrel::Init::Service {
  public:
    std::string service() override { return UNIT; }
    std::string service_name() override { return UNIT; }
    bool is_tavrel_service() override { return false; }
    std::string service_binary() override { return {}; }
    std::optional<std::vector<std::string>> startup_args() override { return std::nullopt; }
    std::optional<std::vector<std::string>> restart_args() override { return std::nullopt; }
    std::optional<std::vector<std::string>> shutdown_args() override { return std::nullopt; }
    std::string pidfile() override { return {}; }
    std::string pid_exe() override { return {}; }
    std::vector<std::string> doomed_rules() override { return {}; }
    std::string processowner() override { return "root"; }
    std::string command_line_regex() override { return {}; }
    int verbose() override { return 0; }
    bool has_single_pid() override { return true; }
    bool end_own_listeners() override { return false; }
    void debug(const std::string&) override {}
    void info(const std::string&) override {}
    void warn(const std::string&) override {}
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool inside_sandbox() {
    const char* flag = std::getenv("TAVREL_IN_SYSTEMD_SANDBOX");
    struct statfs fs {};
    return flag && std::string(flag) == "1" && ::statfs("/", &fs) == 0 &&
           fs.f_type == 0x794c7630 && ::access("/run/systemd/system", F_OK) == 0;
}

void write(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
}

int measure(int rounds) {
    write(std::string("/run/systemd/system/") + UNIT + ".service",
          "[Unit]\nDescription=benchmark unit\n[Service]\nExecStart=/bin/sleep 100000\n");
    Tavrel::Run::SafeRun::Object({.program = "/bin/systemctl", .args = {"daemon-reload"}});
    Tavrel::Run::SafeRun::Object({.program = "/bin/systemctl", .args = {"start", UNIT}});
    auto props = Sd::has_service_via_systemd(UNIT);
    if (!props || (*props)["ActiveState"] != "active") {
        std::fprintf(stderr, "the benchmark unit did not start\n");
        return 1;
    }
    M::Backend backend({.service = UNIT, .service_via_systemd = *props});
    BenchService svc;
    const std::string text = backend.status_helper(svc).value_or("");
    if (text.empty()) {
        std::fprintf(stderr, "no status text for a running unit\n");
        return 1;
    }
    std::printf("status text: %s\n", text.c_str());

    // systemctl runs per status text, counted by a wrapper.
    const std::string real = M::gl_systemctl_binary;
    write("/run/tvtbench-systemctl",
          "#!/bin/sh\necho run >>/run/tvtbench-runs\nexec " + real + " \"$@\"\n", 0755);
    M::gl_systemctl_binary = "/run/tvtbench-systemctl";
    ::unlink("/run/tvtbench-runs");
    (void)backend.status_helper(svc);
    M::gl_systemctl_binary = real;
    int runs = 0;
    std::ifstream log("/run/tvtbench-runs");
    for (std::string line; std::getline(log, line);)
        ++runs;

    // Rounds alternate, so machine noise hits every row alike.
    std::vector<double> ours, theirs, look, check;
    auto ms = [](Clock::time_point from, Clock::time_point to) {
        return std::chrono::duration<double, std::milli>(to - from).count();
    };
    Tavrel::Init::CheckServiceOptions check_options;
    check_options.service = UNIT;
    check_options.user = "root";
    check_options.pid = Sd::get_pid_via_systemd(UNIT);
    check_options.check_method = Tavrel::Init::SYSTEMD_METHOD;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        (void)backend.status_helper(svc);
        auto t1 = Clock::now();
        Tavrel::Run::SafeRun::Object run(
            {.program = "/bin/systemctl", .args = {"status", std::string(UNIT) + ".service"}});
        auto t2 = Clock::now();
        (void)Sd::get_properties_via_systemd(UNIT, {"ActiveState", "MainPID"});
        auto t3 = Clock::now();
        (void)Tavrel::Init::check_service(check_options);
        auto t4 = Clock::now();
        ours.push_back(ms(t0, t1));
        theirs.push_back(ms(t1, t2));
        look.push_back(ms(t2, t3));
        check.push_back(ms(t3, t4));
    }
    const double a = median(ours), b = median(theirs);
    std::printf("systemctl runs per status text: %d (budget 3)\n", runs);
    std::printf("%-44s %9s\n", ("median of " + std::to_string(rounds) + " rounds").c_str(), "ms");
    std::printf("%-44s %9.2f\n", "Manager::Systemd::status_helper", a);
    std::printf("%-44s %9.2f\n", "systemctl status UNIT", b);
    std::printf("%-44s %9.2f\n", "  of ours: systemctl show ActiveState,MainPID", median(look));
    std::printf("%-44s %9.2f\n", "  of ours: check_service of that pid", median(check));
    std::printf("ratio (ours / systemctl status): %.2f (target <= 1.5)\n", a / b);
    return runs <= 3 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    if (inside_sandbox())
        return measure(rounds);
    if (::geteuid() != 0) {
        std::printf("bench_systemd_status: skipped: needs root to boot systemd in a sandbox\n");
        return 0;
    }
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return 1;
    self[n] = '\0';
    const std::string sandbox = std::string(TAVREL_SOURCE_DIR) + "/tests/e2e/systemd-sandbox.sh";
    Tavrel::Run::SafeRun::Object run({.program = sandbox,
                                 .args = {"/usr/bin/env", "TAVREL_IN_SYSTEMD_SANDBOX=1", self,
                                          std::to_string(rounds)},
                                 .stdout_to = Tavrel::Run::SafeRun::Fd{1},
                                 .stderr_to = Tavrel::Run::SafeRun::Fd{2},
                                 .keep_env = true});
    if (run.error_code() == 77) {
        std::printf("bench_systemd_status: skipped: no sandbox with systemd here\n");
        return 0;
    }
    return run.CHILD_ERROR() == 0 ? 0 : 1;
}
