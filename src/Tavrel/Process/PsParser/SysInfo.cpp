#include "Tavrel/Process/PsParser/SysInfo.h"

#include <time.h>
#include <unistd.h>

namespace Tavrel::Process::PsParser {

SysInfo::SysInfo() {
    long hz = ::sysconf(_SC_CLK_TCK);
    if (hz > 0)
        hz_ = hz;
    long page = ::sysconf(_SC_PAGESIZE);
    if (page > 0)
        page_size_ = page;
    long pages = ::sysconf(_SC_PHYS_PAGES);
    if (pages > 0)
        mem_total_bytes_ = static_cast<double>(pages) * static_cast<double>(page_size_);
    struct timespec ts {};
    // The boot-time clock counts from the same origin as the start ticks.
    if (::clock_gettime(CLOCK_BOOTTIME, &ts) == 0)
        uptime_ = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double SysInfo::calculate_percent_memory_from_rsspages(long long rss_pages) const {
    if (mem_total_bytes_ <= 0 || rss_pages <= 0)
        return 0;
    return static_cast<double>(rss_pages) * static_cast<double>(page_size_) * 100.0 /
           mem_total_bytes_;
}

double SysInfo::calculate_percent_cpu_from_ticks(unsigned long long start_ticks,
                                                 unsigned long long cpu_ticks) const {
    double elapsed = calculate_elapsed_from_ticks(start_ticks);
    if (elapsed <= 0)
        return 0;
    return static_cast<double>(cpu_ticks) / static_cast<double>(hz_) * 100.0 / elapsed;
}

double SysInfo::calculate_elapsed_from_ticks(unsigned long long start_ticks) const {
    double e = uptime_ - static_cast<double>(start_ticks) / static_cast<double>(hz_);
    return e > 0 ? e : 0;
}

}  // namespace Tavrel::Process::PsParser
