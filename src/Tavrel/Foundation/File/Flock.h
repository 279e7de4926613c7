// Tavrel::Foundation::File::Flock: an advisory whole-file lock (flock(2)) on an open
// descriptor, tied to the process that took it.
//
//   auto lock = Tavrel::Foundation::File::Flock::try_lock_path(path, 0600);
//   if (!lock) { ...held elsewhere... }
//   ...
//   lock->release();          // or let it go out of scope
//
// flock locks belong to the open file description, which a forked child
// shares. An explicit LOCK_UN from the child would drop the parent's lock, so
// the unlock is only ever issued by the process that locked: in any other
// process, releasing or destroying the handle only closes that process's copy
// of the descriptor, which leaves the parent's lock in place. A child may not
// lock through its parent's handle either (Tavrel::Foundation::PlainError).
#pragma once

#include "Tavrel/Foundation/Fd/UniqueFd.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace Tavrel::Foundation::File {

class Flock final {
  public:
    // Wraps an open descriptor (taking ownership); not locked yet.
    explicit Flock(Fd::UniqueFd fd);
    // In the locking process: unlock (a failure is warned about on standard
    // error) and close. In any other process: close only.
    ~Flock();
    Flock(Flock&& other) noexcept;
    Flock& operator=(Flock&& other) noexcept;
    Flock(const Flock&) = delete;
    Flock& operator=(const Flock&) = delete;

    // Applies the named lock operations ("EX", "SH", "UN", "NB", with or
    // without their LOCK_ prefix; or'ed through Tavrel::Foundation::Fcntl::or_flags).
    // true when done (the handle is now owned by this process, or unlocked
    // for "UN"); false when "NB" was asked and the lock is held elsewhere.
    // Io::LockFailed ("path", "operation", "error") for any other failure;
    // Tavrel::Foundation::PlainError when another process locked this handle.
    bool flock(const std::vector<std::string>& operations);

    // Opens `path` for appending (created with exactly `permissions` when
    // missing, never truncated) and wraps it; Io::OpenFailed on failure.
    static Flock open_path(const std::string& path, mode_t permissions = 0600);
    // open_path + exclusive non-blocking lock: the locked handle, or nothing
    // when another holder has it.
    static std::optional<Flock> try_lock_path(const std::string& path, mode_t permissions = 0600);

    // Drops the lock (as the destructor does) and closes the descriptor.
    void release() noexcept;

    bool locked() const { return owner_pid_ != 0; }
    // The process that holds the lock through this handle; 0 when unlocked.
    pid_t owner_pid() const { return owner_pid_; }
    int fd() const { return fd_.get(); }

  private:
    Fd::UniqueFd fd_;
    pid_t owner_pid_ = 0;
};

}  // namespace Tavrel::Foundation::File
