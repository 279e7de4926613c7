// Tavrel::Cli::History::Caller: who started a run, as far as the kernel and
// the run's ancestors tell it, for the history.
//
//   const Caller who = Caller::of_this_run();
//   // who.uid == 0, who.login_user == "alice", who.ssh_client == "192.0.2.7"
//
// The login uid is the account the session was opened for (pam_loginuid);
// sudo and su keep it, so a restart through sudo still names the person. The
// SSH client is the first address of SSH_CONNECTION (or SSH_CLIENT) in the
// run's own environment or, since sudo drops both, in the first ancestor's
// that has one.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Cli::History::Caller {

// The login uid of a process that has none (a daemon, a boot script).
inline constexpr unsigned long NO_LOGIN_UID = 4294967295UL;

struct Who {
    uid_t uid = 0;
    std::optional<uid_t> login_uid{};
    std::optional<std::string> login_user{};
    std::optional<std::string> ssh_client{};
    pid_t parent_pid = 0;
    std::string parent{};
};

// The client address in an environment block (NUL-separated NAME=value).
std::optional<std::string> ssh_client_in(std::string_view environment);
// The login uid as /proc/PID/loginuid holds it; nothing when unset or unreadable.
std::optional<uid_t> login_uid_in(std::string_view text);

Who of_this_run();

}  // namespace Tavrel::Cli::History::Caller
