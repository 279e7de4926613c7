// Tavrel::Services::Env: the one clean start every daemon gets, whoever ran the
// tool: the safe environment plus the extra variables a service manager passes
// (DAEMON_KEEP_VARS), no TMP/TEMP, the superuser's HOME and USER, ZIDAVOVEVA=1
// (so children can tell who started them), TZ set to the server's time zone, and
// the file-system root as working directory.
#pragma once

#include <string>
#include <string_view>

namespace Tavrel::Services::Env {

// Kept for daemons beyond the safe list: what systemd hands a unit's start
// command, which the daemon needs when the tool runs as that command.
inline constexpr std::string_view DAEMON_KEEP_VARS[] = {
    "INVOCATION_ID",  "JOURNAL_STREAM", "NOTIFY_SOCKET", "LISTEN_FDS",    "LISTEN_PID",
    "LISTEN_FDNAMES", "MAINPID",        "WATCHDOG_PID",  "WATCHDOG_USEC",
};
inline std::string SUPERUSER_HOME = "/root";
inline std::string SUPERUSER_NAME = "root";
inline std::string WORKING_DIRECTORY = "/";

// Throws "Io::ChdirFailed" with the errno when the working directory cannot be changed.
void setup_env_for_starting_a_daemon();

}  // namespace Tavrel::Services::Env
