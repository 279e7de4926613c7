#include "Tavrel/ZidavovEva/Lock.h"

#include "Tavrel/Exception.h"
#include "Tavrel/FileUtils/Dir.h"
#include "Tavrel/FileUtils/Open.h"
#include "Tavrel/PlainError.h"
#include "Tavrel/SafeDir/MK.h"
#include "Tavrel/Validate/Service.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace Tavrel::ZidavovEva {

std::string Lock::get_run_lock_file_for_service(std::string_view service) {
    Validate::Service::assert_valid(service);
    return LOCK_BASE + "/" + std::string(service);
}

bool Lock::wait_for_ex_lock(FileUtils::Flock& fh, double timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
    for (;;) {
        if (fh.flock({"EX", "NB"}))
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::duration<double>(POLL_INTERVAL));
    }
}

Lock::Lock(std::string_view service) {
    if (service.empty())
        throw PlainError("A run lock needs a service name.");
    path_ = get_run_lock_file_for_service(service);
    // The directory lives on a file system emptied at boot: make it when
    // missing. Whether made now or found, it is used only when it is private.
    (void)SafeDir::MK::safemkdir(LOCK_BASE, 0700, {.parents = true});
    FHUtils::UniqueFd dir = FileUtils::Dir::open_private(LOCK_BASE);
    // Relative to the checked directory, never through a link, and without
    // blocking on a FIFO left in its place.
    FHUtils::UniqueFd fd(FileUtils::Open::sysopenat_with_real_perms(
        dir.get(), std::string(service),
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600));
    if (!fd) {
        const int err = errno;
        if (err == ELOOP) {
            throw PlainError("The run lock file " + path_ +
                             " is a symbolic link; remove it, it is made again when needed.");
        }
        throw PlainError("Cannot open the run lock file " + path_ + ": " + std::strerror(err));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw PlainError("The run lock file " + path_ +
                         " is not a regular file; remove it, it is made again when needed.");
    }
    std::optional<FileUtils::Flock> fh;
    fh.emplace(std::move(fd));
    if (!wait_for_ex_lock(*fh, LOCK_TIMEOUT)) {
        throw PlainError("Could not obtain the run lock " + path_ + " within " +
                         std::to_string(static_cast<long>(LOCK_TIMEOUT)) +
                         " seconds: another run is still working on this service.");
    }
    fh_ = std::move(fh);
}

bool Lock::release() {
    fh_.reset();
    return true;
}

}  // namespace Tavrel::ZidavovEva
