// Tavrel::Foundation::LogCheck: makes sure the log directory is there and usable before a
// daemon is started, so that its failures have somewhere to go.
//
//   Tavrel::Foundation::LogCheck::logcheck();                  // creates LOG_DIR (0700) when missing
//   if (!Tavrel::Foundation::LogCheck::logcheck_writable()) ...
#pragma once

#include <string>

namespace Tavrel::Foundation::LogCheck {

inline std::string LOG_DIR = "/var/log/zidavoveva";

// True when LOG_DIR is a directory, creating it with mode 0700 when it is
// missing. Otherwise writes "<program>: ... <directory> ...: <reason>" to
// standard error and returns false. Keeps errno.
bool logcheck();

// True when a test file can be created in LOG_DIR (create, truncate, never
// through a symbolic link); the test file is removed again. Keeps errno.
bool logcheck_writable();

}  // namespace Tavrel::Foundation::LogCheck
