#include "Tavrel/Process/Proc/PID.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Process/PsParser/Parse.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

namespace Tavrel::Process::Proc {

namespace {

pid_t checked_pid(std::string_view text) {
    bool digits =
        !text.empty() && text.size() <= 9 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    pid_t pid = digits ? static_cast<pid_t>(std::stol(std::string(text))) : 0;
    if (pid <= 1)
        throw Foundation::Exception::create("Param::Invalid", {{"name", "pid"}, {"value", std::string(text)}});
    return pid;
}

}  // namespace

PID::PID(std::string_view pid) : pid_(checked_pid(pid)) {
    init();
}

PID::PID(pid_t pid) : pid_(checked_pid(std::to_string(pid))) {
    init();
}

void PID::init() {
    auto parsed = PsParser::Parse::stat(Foundation::ProcFs::path(dir() + "/stat").value_or(std::string()));
    if (!parsed)
        ended();
    starttime_ = parsed->starttime();
    (void)ctime();
}

std::string PID::dir() const {
    return Foundation::ProcFs::PROC_PATH + "/" + std::to_string(pid_);
}

void PID::ended() const {
    throw Foundation::Exception::create("Proc::Ended", {{"pid", pid_}});
}

uid_t PID::uid() {
    if (!uid_) {
        struct stat st {};
        if (::stat(dir().c_str(), &st) != 0)
            ended();
        uid_ = st.st_uid;
    }
    return *uid_;
}

long long PID::ctime() {
    if (!ctime_) {
        struct stat st {};
        if (::stat(dir().c_str(), &st) != 0)
            ended();
        ctime_ = static_cast<long long>(st.st_ctime);
    }
    return *ctime_;
}

double PID::elapsed_time() {
    struct stat st {};
    long long since = 0;
    if (::stat(dir().c_str(), &st) == 0)
        since = static_cast<long long>(st.st_atime);
    if (since == 0)
        since = ctime();
    return static_cast<double>(std::time(nullptr) - since);
}

bool PID::is_running() const {
    auto parsed = PsParser::Parse::stat(Foundation::ProcFs::path(dir() + "/stat").value_or(std::string()));
    if (!parsed || parsed->starttime() != starttime_)
        return false;
    char s = parsed->state();
    return s != 'Z' && s != 'X' && s != 'x';
}

char PID::state() const {
    auto text = Foundation::ProcFs::path(dir() + "/stat");
    if (!text)
        ended();
    return PsParser::Parse::stat_state(*text).value_or('?');
}

std::vector<std::string> PID::cmdline() {
    if (!cmdline_) {
        auto raw = Foundation::ProcFs::path(dir() + "/cmdline");
        if (!raw)
            ended();
        cmdline_ = PsParser::Parse::cmdline_words(*raw);
    }
    return *cmdline_;
}

double PID::age() const {
    // The start time counts clock ticks since boot, suspended time included.
    struct timespec boot {};
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    const long ticks = ::sysconf(_SC_CLK_TCK);
    return static_cast<double>(boot.tv_sec) + static_cast<double>(boot.tv_nsec) / 1e9 -
           static_cast<double>(starttime_) / static_cast<double>(ticks > 0 ? ticks : 100);
}

unsigned long long PID::boot_ticks_now() {
    struct timespec boot {};
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    const long ticks = ::sysconf(_SC_CLK_TCK);
    const unsigned long long per_second = ticks > 0 ? static_cast<unsigned long long>(ticks) : 100;
    // Whole ticks, truncated as the kernel truncates a start time.
    return static_cast<unsigned long long>(boot.tv_sec) * per_second +
           static_cast<unsigned long long>(boot.tv_nsec) * per_second / 1000000000ULL;
}

bool PID::started_after(const struct timespec& when, double slack) const {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const double since = static_cast<double>(now.tv_sec - when.tv_sec) +
                         static_cast<double>(now.tv_nsec - when.tv_nsec) / 1e9;
    return age() + slack < since;
}

}  // namespace Tavrel::Process::Proc
