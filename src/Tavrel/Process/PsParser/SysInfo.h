// Tavrel::Process::PsParser::SysInfo: the machine figures behind the process
// statistics, taken once per listing.
//
//   Tavrel::Process::PsParser::SysInfo info;
//   double seconds = info.calculate_elapsed_from_ticks(stat.starttime());
#pragma once

namespace Tavrel::Process::PsParser {

class SysInfo {
  public:
    SysInfo();
    // Percent of physical memory held by that many resident pages.
    double calculate_percent_memory_from_rsspages(long long rss_pages) const;
    // CPU time over the process's lifetime, in percent of one CPU.
    double calculate_percent_cpu_from_ticks(unsigned long long start_ticks,
                                            unsigned long long cpu_ticks) const;
    // Seconds since the process started (never negative).
    double calculate_elapsed_from_ticks(unsigned long long start_ticks) const;

    double uptime() const { return uptime_; }
    long ticks_per_second() const { return hz_; }

  private:
    long hz_ = 100;
    long page_size_ = 4096;
    double mem_total_bytes_ = 0;
    double uptime_ = 0;  // seconds since boot
};

}  // namespace Tavrel::Process::PsParser
