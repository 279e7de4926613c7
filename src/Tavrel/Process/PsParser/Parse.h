// Tavrel::Process::PsParser::Parse: pure parsers of the per-process files of procfs.
// They take the file's text and never touch the machine, so each can be
// tested with samples taken from real processes.
//
//   auto st = Tavrel::Process::PsParser::Parse::stat(text);
//   if (st) { char state = st->state(); pid_t ppid = st->ppid(); }
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Process::PsParser::Parse {

// The fields of a stat line after the parenthesised name, numbered from 0 at
// the state letter (so ppid is 1, pgrp 2, flags 6, utime 11, stime 12, nice
// 16 and starttime 19).
inline constexpr size_t STATE = 0, PPID = 1, PGRP = 2, FLAGS = 6, UTIME = 11, STIME = 12,
                        NICE = 16, STARTTIME = 19;
// The kernel's per-process flag of its own threads.
inline constexpr unsigned long long KERNEL_THREAD_FLAG = 0x00200000;

struct Stat {
    std::string name;                 // the kernel's name of the process
    std::vector<std::string> fields;  // never empty

    // A missing or non-numeric field reads as 0 (and the state as '?').
    char state() const;
    long long number(size_t index) const;
    pid_t ppid() const { return static_cast<pid_t>(number(PPID)); }
    pid_t pgrp() const { return static_cast<pid_t>(number(PGRP)); }
    int nice() const { return static_cast<int>(number(NICE)); }
    // A thread of the kernel itself (it has no command line and no program).
    bool is_kernel_thread() const {
        return (static_cast<unsigned long long>(number(FLAGS)) & KERNEL_THREAD_FLAG) != 0;
    }
    unsigned long long starttime() const {
        return static_cast<unsigned long long>(number(STARTTIME));
    }
    // The kernel's counters are unsigned: a negative field reads as 0, and the
    // sum is taken unsigned so two huge fields cannot overflow it.
    unsigned long long cpu_ticks() const {
        return ticks(number(UTIME)) + ticks(number(STIME));
    }

  private:
    static unsigned long long ticks(long long v) {
        return v > 0 ? static_cast<unsigned long long>(v) : 0;
    }
};

// Splits at the last closing parenthesis, so a name that itself contains
// ") " keeps the fields aligned. Nothing when no field follows the name.
std::optional<Stat> stat(std::string_view text);

// Just the state letter of a stat line, or nothing.
std::optional<char> stat_state(std::string_view text);

// The command line as one text: NUL separators become spaces and trailing
// whitespace is removed.
std::string command_from_cmdline(std::string_view raw);

// The argument words, split on NUL; trailing empty words are dropped.
std::vector<std::string> cmdline_words(std::string_view raw);

// The resident page count (second field) of a statm line, or nothing.
std::optional<long long> statm_resident(std::string_view text);

}  // namespace Tavrel::Process::PsParser::Parse
