// Tavrel::ServiceManager::Hot: the service class for daemons that restart
// themselves in place on SIGUSR1. Instead of stop-then-start, restart sends
// the daemon's main process SIGUSR1 and waits until the daemon rewrites its
// pid file, its sign that the new generation runs; when that does not happen,
// restart falls back to a full restart.
//
//   auto srv = Base::create<Hot>({{"service", "hubdavd"}, {"pidfile", "/run/hubdavd.pid"}});
//   srv->restart();                  // graceful first (graceful_by_default)
//   srv->set_is_graceful_restart_enabled(false);   // always a full restart
//
// The pid is signalled only when it can be trusted: never 0, 1, a negative
// pid, this process or one of its ancestors; and when the pid file is not
// owned by root or is writable by others, only when the process is confirmed
// as the service's own (its executable matches pid_exe or is service_binary,
// its command line matches command_line_regex, or it runs as a processowner
// other than root). The signal goes through a pidfd, so a pid reused after
// the check is never signalled.
#pragma once

#include "Tavrel/ServiceManager/Base.h"

#include <sys/types.h>

#include <optional>
#include <string>

namespace Tavrel::ServiceManager {

class Hot : public Base {
  public:
    static inline std::string HOT_CLASS_NAME = "Tavrel::ServiceManager::Hot";
    // The wait for the pid file to be rewritten: at most GRACEFUL_PASSES
    // passes of GRACEFUL_PASS_WAIT seconds (15 seconds in all).
    static inline int GRACEFUL_PASSES = 600;
    static inline double GRACEFUL_PASS_WAIT = 0.025;
    // A pid file written in the current second is moved this far back, so
    // that a rewrite within the same second is still a change.
    static inline int BACKDATE_SECONDS = 1;
    // A process that started more than this many seconds after the pid file
    // was last written is not the one the file was written for.
    static inline double PIDFILE_AGE_SLACK = 2;

    std::string class_name() const override { return HOT_CLASS_NAME; }

    bool is_graceful_restart_enabled() const { return is_graceful_restart_enabled_; }
    void set_is_graceful_restart_enabled(bool v) { is_graceful_restart_enabled_ = v; }

    bool set_attribute(std::string_view name, const nlohmann::json& value) override;
    std::vector<std::string> attribute_names() const override;

    // true when the daemon rewrote its pid file after the signal.
    std::optional<bool> restart_gracefully() override;
    bool has_restart_gracefully() const override { return true; }

    // The first line of the pid file without its line end; nothing when the
    // file cannot be opened.
    std::optional<std::string> _read_pid_from_pidfile();
    // Sends SIGUSR1 to a trusted pid: the number of processes signalled (0 or 1).
    virtual int _send_usr1(pid_t pid);
    // Whether `pid` may be signalled on behalf of this service (see above).
    bool _is_trusted_pid(pid_t pid);

  private:
    bool is_graceful_restart_enabled_ = true;
};

}  // namespace Tavrel::ServiceManager
