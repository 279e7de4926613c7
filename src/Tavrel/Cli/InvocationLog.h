// Tavrel::Cli::InvocationLog: who started which run, one line per run.
//
//   [2026-12-08 14:19:59 +0100] /usr/local/sbin/zidavoveva_crond --stop; ppid 4242: -bash
//
// Fields: local time with the UTC offset, the invocation path, the arguments
// joined with single spaces, the parent pid and the parent's command line.
// Control characters in the invocation path and the arguments are written as
// \xNN and the parent's command line is squeezed to visible characters, so
// one record is always exactly one line, whatever the caller passed.
//
// The log is created 0600, never through a symbolic link, and each record is
// one append-mode write, so records of parallel runs never mix. A log that
// cannot be opened is skipped silently: it must never stop a run.
//
//   InvocationLog::record(argv0, args, getppid());
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Cli::InvocationLog {

inline std::string LOG_FILE = "/var/log/zidavoveva/invocation_log";
// Written when the parent's command line cannot be read.
inline std::string UNKNOWN_PARENT = "(unknown)";

// The NUL-separated command line as one line: every run of characters outside
// '!'..'~' becomes one space, and the ends are trimmed.
std::string clean_command_line(std::string_view raw);
// Control characters and the backslash as \xNN escapes.
std::string escape(std::string_view text);
std::string format_record(const std::string& timestamp, const std::string& program,
                          const std::vector<std::string>& args, pid_t ppid,
                          const std::string& parent_command_line);
// The parent's cleaned command line, or UNKNOWN_PARENT.
std::string parent_command_line(pid_t ppid);
// Appends one record; false when the log could not be written.
bool record(const std::string& program, const std::vector<std::string>& args, pid_t ppid);

}  // namespace Tavrel::Cli::InvocationLog
