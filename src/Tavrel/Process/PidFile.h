// Tavrel::Process::PidFile: the one reader of pid files, and whether the
// process a pid file names is still running.
//
//   if (auto pid = Tavrel::Process::PidFile::is_pidfile_running("/run/crond.pid"))
//       ... *pid runs ...
//
// Pid files are written by daemons, sometimes by other accounts, so they are
// read without blocking (a FIFO planted at the path holds no pid) and only as
// far as a pid can reach. A pid that may be signalled must be the first line
// alone (blanks around it are allowed) and greater than 1, so a file holding
// 0, 1, -5 or "12abc" names nothing; status checks may read just the leading
// digits. The process counts as running while it exists and has not ended: a
// zombie has ended. A missing or unreadable file is an ordinary "no", never an
// error.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Process::PidFile {

// Bytes read from a pid file; a pid fits many times over.
inline std::size_t PIDFILE_READ_LIMIT = 128;

// The head of the pid file (at most PIDFILE_READ_LIMIT bytes); "" when the
// path is not a regular file (a FIFO, a directory); nothing with errno set
// when it cannot be opened or read, or is a symbolic link (ELOOP).
// `status`, when given, receives the file's status from the descriptor read,
// so that the owner and age judged are those of the text read.
std::optional<std::string> read_pidfile(const std::string& path, struct stat* status = nullptr);

// The pid recorded in the file when that process is running, else nothing.
std::optional<pid_t> is_pidfile_running(const std::string& path);

// The pid a pid file's text records (its first line, digits alone), else
// nothing. The form to trust before a signal.
std::optional<pid_t> pid_from_text(std::string_view text);

// The leading digits of the first line (after blanks), "123abc" giving 123,
// when above 1 and within range; else nothing. The lenient form of status
// checks, which confirm the process by other means.
std::optional<pid_t> leading_pid_from_text(std::string_view text);

}  // namespace Tavrel::Process::PidFile
