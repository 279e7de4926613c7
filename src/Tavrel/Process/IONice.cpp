#include "Tavrel/Process/IONice.h"

#include "Tavrel/Run/Binaries.h"
#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Run/SafeRun/Object.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <map>
#include <vector>

namespace Tavrel::Process::IONice {

namespace {

std::optional<std::string> program() {
    std::string path = IONICE_PATH ? *IONICE_PATH : Run::Binaries::path("ionice").value_or("");
    if (path.empty() || ::access(path.c_str(), X_OK) != 0)
        return std::nullopt;
    return path;
}

bool one_digit_in(std::string_view text, char low, char high) {
    return text.size() == 1 && text[0] >= low && text[0] <= high;
}

Run::SafeRun::Object run(const std::string& path, std::vector<std::string> args) {
    Run::SafeRun::Options options;
    options.program = path;
    options.args = std::move(args);
    options.timeout = IONICE_TIMEOUT;
    return Run::SafeRun::Object(std::move(options));
}

}  // namespace

std::optional<int> class_number(std::string_view name_or_digit) {
    if (one_digit_in(name_or_digit, '0', '3'))
        return name_or_digit[0] - '0';
    static const std::map<std::string, int, std::less<>> names = {
        {"keep", 0},     {"none", 0},        {"real time", 1},
        {"realtime", 1}, {"best-effort", 2}, {"idle", 3}};
    auto it = names.find(name_or_digit);
    return it == names.end() ? std::nullopt : std::optional<int>(it->second);
}

std::optional<bool> ionice(std::string_view io_class, std::string_view level) {
    auto number = class_number(io_class);
    if (!number) {
        Foundation::Debug::log_warn("ionice: invalid I/O class \"" + std::string(io_class) + "\"");
        return std::nullopt;
    }
    if (!one_digit_in(level, '0', '7')) {
        Foundation::Debug::log_warn("ionice: invalid I/O level \"" + std::string(level) + "\"");
        return std::nullopt;
    }
    auto path = program();
    if (!path)
        return std::nullopt;
    std::vector<std::string> args;
    if (::geteuid() == 0)
        args = {"-c", std::to_string(*number)};
    args.insert(args.end(), {"-n", std::string(level), "-p", std::to_string(::getpid())});
    try {
        return run(*path, std::move(args)).CHILD_ERROR() == 0;
    } catch (const std::exception& e) {
        Foundation::Debug::log_warn(std::string("ionice: ") + e.what());
        return false;
    }
}

std::optional<bool> reset() {
    // A process that never had an I/O class set reads as 0 (no class, level
    // 0): there is nothing to reset, and no program needs to run for it. That
    // is the common case, and it saves a program start before every start.
    constexpr int WHO_PROCESS = 1;
    if (::syscall(SYS_ioprio_get, WHO_PROCESS, 0) == 0)
        return true;
    return ionice("0", "0");
}

std::optional<std::string> get_ionice() {
    auto path = program();
    if (!path)
        return std::nullopt;
    try {
        auto result = run(*path, {"-p", std::to_string(::getpid())});
        std::string text = result.stdout_text();
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        return text;
    } catch (const std::exception& e) {
        Foundation::Debug::log_warn(std::string("ionice: ") + e.what());
        return std::nullopt;
    }
}

}  // namespace Tavrel::Process::IONice
