// Tavrel::Service::Hot: the service class for daemons that restart
// themselves in place on SIGUSR1. Instead of stop-then-start, restart sends
// the daemon's main process SIGUSR1 and waits until the daemon rewrites its
// pid file, its sign that the new generation runs; when that does not happen,
// restart falls back to a full restart.
//
//   auto srv = Base::create<Hot>({{"service", "hubdavd"}, {"pidfile", "/run/hubdavd.pid"}});
//   srv->restart();                  // graceful first (graceful_by_default)
//   srv->set_is_graceful_restart_enabled(false);   // always a full restart
//
// The pid is signalled only when Tavrel::Process::PidFile::Judge confirms the pid
// file's process as the service's own (never 0, 1, this process or one of
// its ancestors; its program or its owner; not younger than the file; a root
// owner only from a file nobody else may write). The signal goes through a
// pidfd, so a pid reused after the check is never signalled.
#pragma once

#include "Tavrel/Service/Base.h"

#include <sys/types.h>

#include <optional>
#include <string>

namespace Tavrel::Service {

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

}  // namespace Tavrel::Service
