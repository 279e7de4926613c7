// Tavrel::Service::Lock: the per-service run lock. Two runs of the tool on
// one service never overlap: each holds an exclusive advisory lock on
// LOCK_BASE/<service> for its whole run.
//
//   Tavrel::Service::Lock lock("httpd");   // waits up to LOCK_TIMEOUT seconds
//   ... stop and start the service ...
//   lock.release();                            // or let it go out of scope
//
// Several service words may drive one daemon (IMAP, POP and LMTP are one mail
// store daemon), so a run also holds the lock of the daemon itself, named by
// what the init system controls ("unit cron.service", "script /etc/init.d/x",
// "program /usr/sbin/x /run/x.pid"):
//
//   auto daemon = Tavrel::Service::Lock::for_daemon("unit dovecot.service");
//
// Its file is LOCK_BASE/daemon:<identity with unsafe bytes as %XX>, a name no
// service word can have. Runs take the word's lock first and the daemon's
// second, never the other way round, so two runs never wait for each other
// in a circle.
//
// The lock lives in the open file: it ends when the holder releases it, is
// destroyed, or dies (even by SIGKILL), so nothing needs cleaning after a
// crash and a lock file left behind blocks nobody. A forked child that
// inherited the handle never drops its parent's lock (Tavrel::Foundation::File::Flock).
//
// The service name is checked (Tavrel::Foundation::Validate::Service) before any path is
// formed: an invalid name is Param::Invalid and touches no file.
//
// The lock files live in a directory only root may write to, made when
// missing and checked before each use (Tavrel::Foundation::File::Dir): a directory
// that someone else made or can write to is refused, for whoever can write
// there can hold every lock (so that every restart waits and fails) or plant
// a link that makes root create or append to a file of their choice. Lock
// files are never opened through a symbolic link.
#pragma once

#include "Tavrel/Foundation/File/Flock.h"

#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Service {

class Lock final {
  public:
    // The directory of the lock files; created (mode 0700, with any missing
    // parent) when missing. Under /run, which only root may write to, rather
    // than a world-writable lock directory where anyone could make it first.
    static inline std::string LOCK_BASE = "/run/zidavoveva/lock";
    // The whole wait for the lock, and the pause between attempts, in seconds.
    static inline double LOCK_TIMEOUT = 196;
    static inline double POLL_INTERVAL = 0.25;
    // The kernel's table of file locks (this file under
    // Tavrel::Foundation::ProcFs::PROC_PATH): names the run that holds a lock.
    static inline std::string LOCKS_FILE = "locks";

    // Takes the lock of `service`. Tavrel::Foundation::PlainError for an empty name, an
    // unopenable lock file (a symbolic link among them), or a lock not obtained
    // in time; Param::Invalid for an invalid name; Io::UnsafeDirectory when
    // LOCK_BASE is a link, not a directory, someone else's, or writable by
    // others; Io::OpenFailed when it cannot be made or opened.
    explicit Lock(std::string_view service);
    // Takes the lock of the daemon with this identity (not empty), with the
    // same failures as the service's lock.
    static Lock for_daemon(std::string_view identity);
    Lock(Lock&&) noexcept = default;
    Lock& operator=(Lock&&) noexcept = default;

    // Drops the lock; true. The object holds nothing afterwards.
    bool release();
    bool held() const { return fh_.has_value() && fh_->fd() >= 0; }
    const std::string& path() const { return path_; }

    // LOCK_BASE/<service>, after checking the name (Param::Invalid).
    static std::string get_run_lock_file_for_service(std::string_view service);
    // LOCK_BASE/daemon:<encoded identity>; a long identity is cut and ends in
    // a hash of the whole, so the name stays within a directory entry's limit.
    static std::string get_run_lock_file_for_daemon(std::string_view identity);
    // The process holding the flock on the file with this device and inode,
    // by the kernel's lock table; nothing when it cannot be told.
    static std::optional<pid_t> holder_of(dev_t device, ino_t inode);
    // Who holds the lock file at `path` now, as a time-out names the holder
    // (" (process 1234: zidavoveva_crond --stop)"); empty when the file is
    // missing or free. Takes nothing and creates nothing (a dry run asks it).
    static std::string holder_of_path(const std::string& path);
    // Polls for an exclusive lock on `fh` until `timeout` seconds have passed:
    // true when taken, false on time-out.
    static bool wait_for_ex_lock(Foundation::File::Flock& fh, double timeout);

  private:
    Lock() = default;
    // Opens LOCK_BASE/<file_name> and waits for it; `what` names the thing
    // locked in the time-out message ("service", "daemon").
    void take(const std::string& file_name, std::string_view what);

    std::string path_;
    std::optional<Foundation::File::Flock> fh_;
};

}  // namespace Tavrel::Service
