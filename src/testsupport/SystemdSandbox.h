// Tavrel::TestSupport::SystemdSandbox: for tests that drive a real systemd.
// They run only inside the throw-away machine of tests/e2e/systemd-sandbox.sh
// (tests/e2e/checks/systemd-backend starts them there), never on a host:
//
//   if (!SystemdSandbox::inside()) GTEST_SKIP() << SystemdSandbox::WHY_SKIPPED;
//   SystemdSandbox::write_unit("tvt-a.service", "[Service]\nExecStart=/bin/sleep 60\n");
//   SystemdSandbox::systemctl({"daemon-reload"});
#pragma once

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Tavrel/Run/SafeRun/Object.h"

namespace Tavrel::TestSupport::SystemdSandbox {

inline constexpr const char* WHY_SKIPPED =
    "runs only inside tests/e2e/systemd-sandbox.sh (TAVREL_IN_SYSTEMD_SANDBOX=1)";
inline constexpr long OVERLAYFS_MAGIC = 0x794c7630;

// Asked for by the e2e check, and the root really is the sandbox's overlay:
// the units these tests write must never reach a real machine.
inline bool inside() {
    const char* flag = std::getenv("TAVREL_IN_SYSTEMD_SANDBOX");
    struct statfs fs {};
    return flag && std::string(flag) == "1" && ::statfs("/", &fs) == 0 &&
           static_cast<long>(fs.f_type) == OVERLAYFS_MAGIC && ::access("/run/systemd/system", F_OK) == 0;
}

inline void write_file(const std::string& path, const std::string& content, bool executable = false) {
    std::ofstream out(path, std::ios::trunc);
    out << content;
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
    if (executable)
        ::chmod(path.c_str(), 0755);
}

// A runtime unit: /run/systemd/system/<name>.
inline void write_unit(const std::string& name, const std::string& body) {
    write_file("/run/systemd/system/" + name, body);
}

// systemctl's exit code (-1 for a death by signal).
inline int systemctl(std::vector<std::string> args) {
    Run::SafeRun::Object run({.program = "/bin/systemctl", .args = std::move(args)});
    const int status = run.CHILD_ERROR();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string systemctl_output(std::vector<std::string> args) {
    Run::SafeRun::Object run({.program = "/bin/systemctl", .args = std::move(args)});
    return run.stdout_text();
}

// Polls `done` every 20 ms for up to `seconds`.
inline bool wait_for(const std::function<bool()>& done, double seconds = 10) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace Tavrel::TestSupport::SystemdSandbox
