#include "Tavrel/Process/Rlimit/Syscall.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/PlainError.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace Tavrel::Process::Rlimit::Syscall {

namespace {

// The layout the kernel reads and writes for these two calls on 64-bit Linux.
struct KernelRlimit {
    std::uint64_t rlim_cur;
    std::uint64_t rlim_max;
};
static_assert(sizeof(KernelRlimit) == 16);
static_assert(sizeof(long) == 8, "the direct calls assume a 64-bit kernel interface");

}  // namespace

const std::map<std::string, int, std::less<>>& RLIMITS() {
    static const std::map<std::string, int, std::less<>> table = {
        {"CPU", 0},       {"FSIZE", 1}, {"DATA", 2},    {"STACK", 3},
        {"CORE", 4},      {"RSS", 5},   {"NPROC", 6},   {"NOFILE", 7},
        {"MEMLOCK", 8},   {"AS", 9},    {"LOCKS", 10},  {"SIGPENDING", 11},
        {"MSGQUEUE", 12}, {"NICE", 13}, {"RTPRIO", 14}, {"RTTIME", 15},
    };
    return table;
}

int resource_number(std::string_view resource) {
    if (resource.empty())
        throw Foundation::PlainError("getrlimit/setrlimit: no resource given");
    if (auto it = RLIMITS().find(resource); it != RLIMITS().end())
        return it->second;
    int number = 0;
    auto [end, ec] = std::from_chars(resource.data(), resource.data() + resource.size(), number);
    bool all_digits = resource.find_first_not_of("0123456789") == std::string_view::npos;
    if (!all_digits || ec != std::errc() || end != resource.data() + resource.size()) {
        throw Foundation::PlainError("Unknown resource limit: " + std::string(resource));
    }
    return number;
}

std::pair<std::uint64_t, std::uint64_t> getrlimit(std::string_view resource) {
    int number = resource_number(resource);
    KernelRlimit lim{};
    if (::syscall(SYS_getrlimit, number, &lim) != 0) {
        int err = errno;
        throw Foundation::Exception::create("System::CallFailed",
                                {{"name", "getrlimit"}, {"resource", resource}, {"error", err}});
    }
    return {lim.rlim_cur, lim.rlim_max};
}

bool setrlimit(std::string_view resource, std::uint64_t soft, std::uint64_t hard) {
    int number = resource_number(resource);
    KernelRlimit lim{soft, hard};
    if (::syscall(SYS_setrlimit, number, &lim) != 0) {
        int err = errno;
        throw Foundation::Exception::create("System::CallFailed",
                                {{"name", "setrlimit"}, {"resource", resource}, {"error", err}});
    }
    return true;
}

}  // namespace Tavrel::Process::Rlimit::Syscall
