// Tavrel::Unix::PID::Tiny: is the process a pid file names still running?
//
//   if (auto pid = Tavrel::Unix::PID::Tiny::is_pidfile_running("/run/crond.pid"))
//       ... *pid runs ...
//
// The pid file must be a regular file whose first line is the pid alone (blanks
// around it are allowed). A pid is trusted only as an integer greater than 1,
// so a file holding 0, 1, -5 or "12abc" names nothing. The process counts as
// running while it exists and has not ended: a zombie has ended. A missing or
// unreadable file is an ordinary "no", never an error.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Unix::PID::Tiny {

// Bytes read from a pid file; a pid fits many times over.
inline std::size_t PIDFILE_READ_LIMIT = 128;

// The pid recorded in the file when that process is running, else nothing.
std::optional<pid_t> is_pidfile_running(const std::string& path);

// The pid a pid file's text records (its first line), else nothing.
std::optional<pid_t> pid_from_text(std::string_view text);

}  // namespace Tavrel::Unix::PID::Tiny
