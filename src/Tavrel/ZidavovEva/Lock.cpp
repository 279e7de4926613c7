#include "Tavrel/ZidavovEva/Lock.h"

#include "Tavrel/Exception.h"
#include "Tavrel/PlainError.h"
#include "Tavrel/Validate/Service.h"

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
    // The directory lives on a file system emptied at boot: make it when missing.
    if (::mkdir(LOCK_BASE.c_str(), 0700) == 0)
        ::chmod(LOCK_BASE.c_str(), 0700);
    std::optional<FileUtils::Flock> fh;
    try {
        fh.emplace(FileUtils::Flock::open_path(path_, 0600));
    } catch (const Tavrel::Exception& e) {
        throw PlainError("Cannot open the run lock file " + path_ + ": " + e.error_text());
    }
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
