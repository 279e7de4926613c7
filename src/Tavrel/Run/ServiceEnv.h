// Tavrel::Run::ServiceEnv: the one clean start every daemon gets, whoever ran the
// tool: the safe environment plus the extra variables a service manager passes
// (DAEMON_KEEP_VARS), nothing of the caller's session (CALLER_SESSION_VARS:
// no TMP/TEMP/TMPDIR, locale or shell), the superuser's HOME, USER and
// LOGNAME, ZIDAVOVEVA=1 (so children can tell who
// started them), TZ set to the server's time zone, and the file-system root
// as working directory (and PWD).
//
// The entry program calls it once, before anything runs, so every program
// run for a service (init script, daemon, configuration test) starts from
// this same environment. After `su` without `-` from a site owner's shell, a
// database would otherwise put its temporary files in that owner's TMPDIR.
#pragma once

#include <string>
#include <string_view>

namespace Tavrel::Run::ServiceEnv {

// Kept for daemons beyond the safe list: what systemd hands a unit's start
// command, which the daemon needs when the tool runs as that command.
inline constexpr std::string_view DAEMON_KEEP_VARS[] = {
    "INVOCATION_ID",  "JOURNAL_STREAM", "NOTIFY_SOCKET", "LISTEN_FDS",    "LISTEN_PID",
    "LISTEN_FDNAMES", "MAINPID",        "WATCHDOG_PID",  "WATCHDOG_USEC",
};
// Safe for the tool's own helpers, but they describe the caller's session and
// are never a daemon's: its temporary directory, its locale, its shell.
inline constexpr std::string_view CALLER_SESSION_VARS[] = {
    "TMP", "TEMP", "TMPDIR", "LANG", "LANGUAGE", "LC_ALL", "LC_CTYPE", "LC_MESSAGES", "SHELL",
};
inline std::string SUPERUSER_HOME = "/root";
inline std::string SUPERUSER_NAME = "root";
inline std::string WORKING_DIRECTORY = "/";

// Throws "Io::ChdirFailed" with the errno when the working directory cannot be changed.
void setup_env_for_starting_a_daemon();

}  // namespace Tavrel::Run::ServiceEnv
