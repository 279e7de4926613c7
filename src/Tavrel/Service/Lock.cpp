#include "Tavrel/Service/Lock.h"

#include "Tavrel/Foundation/Poll.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/File/Dir.h"
#include "Tavrel/Foundation/File/Open.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Process/Proc/PID.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Foundation/File/MakeDir.h"
#include "Tavrel/Foundation/Text/Digits.h"
#include "Tavrel/Foundation/Validate/Service.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <chrono>
#include <cstring>
#include <sstream>
#include <vector>

namespace Tavrel::Service {

namespace {

// Longest command line quoted when naming the holder of a lock.
constexpr size_t HOLDER_COMMAND_SHOWN = 200;

// " (process 1234: zidavoveva_crond --stop)" for the holder of the lock on
// the file, or nothing when the kernel's table does not tell.
std::string holder_phrase(const struct stat& st) {
    const auto pid = Lock::holder_of(st.st_dev, st.st_ino);
    if (!pid)
        return {};
    std::string command;
    try {
        for (const std::string& word : Process::Proc::PID(*pid).cmdline())
            command += (command.empty() ? "" : " ") + word;
    } catch (const std::exception&) {
        // ended meanwhile, or pid 1: the number alone
    }
    if (command.size() > HOLDER_COMMAND_SHOWN)
        command = command.substr(0, HOLDER_COMMAND_SHOWN) + "...";
    return " (process " + std::to_string(*pid) + (command.empty() ? "" : ": " + command) + ")";
}

std::string holder_of_descriptor(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? holder_phrase(st) : std::string();
}

// Directory entries may be 255 bytes; a daemon's lock file name stays below.
constexpr size_t DAEMON_FILE_NAME_MAX = 200;
constexpr std::string_view DAEMON_FILE_PREFIX = "daemon:";

bool kept_as_is(unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '.' || c == '-' || c == '@';
}

// FNV-1a: the same on every build, so every run names one daemon alike.
uint64_t stable_hash(std::string_view text) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

}  // namespace

std::string Lock::get_run_lock_file_for_daemon(std::string_view identity) {
    std::string name(DAEMON_FILE_PREFIX);
    for (unsigned char c : identity)
        name += kept_as_is(c) ? std::string(1, static_cast<char>(c)) : fmt::format("%{:02X}", c);
    if (name.size() > DAEMON_FILE_NAME_MAX)
        name = name.substr(0, DAEMON_FILE_NAME_MAX - 17) + fmt::format("~{:016x}", stable_hash(identity));
    return LOCK_BASE + "/" + name;
}

std::string Lock::holder_of_path(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? holder_phrase(st) : std::string();
}

std::optional<pid_t> Lock::holder_of(dev_t device, ino_t inode) {
    const auto table = Foundation::ProcFs::path(Foundation::ProcFs::PROC_PATH + "/" + LOCKS_FILE);
    if (!table)
        return std::nullopt;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5678 0 EOF", the file written as
    // the kernel prints it; waiters' lines have "->" after the number.
    const std::string file = fmt::format("{:02x}:{:02x}:{}", major(device), minor(device), inode);
    std::istringstream lines(*table);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::vector<std::string> f;
        for (std::string w; words >> w;)
            f.push_back(w);
        if (f.size() < 6 || f[1] != "FLOCK" || f[5] != file)
            continue;
        if (auto pid = Foundation::Text::digits_value(f[4], INT32_MAX); pid && *pid > 0)
            return static_cast<pid_t>(*pid);
    }
    return std::nullopt;
}

std::string Lock::get_run_lock_file_for_service(std::string_view service) {
    Tavrel::Foundation::Validate::Service::assert_valid(service);
    return LOCK_BASE + "/" + std::string(service);
}

bool Lock::wait_for_ex_lock(Foundation::File::Flock& fh, double timeout) {
    return Foundation::Poll::until([&] { return fh.flock({"EX", "NB"}); },
                                   {.within = timeout, .every = POLL_INTERVAL});
}

Lock::Lock(std::string_view service) {
    if (service.empty())
        throw Foundation::PlainError("A run lock needs a service name.");
    Tavrel::Foundation::Validate::Service::assert_valid(service);
    take(std::string(service), "service");
}

Lock Lock::for_daemon(std::string_view identity) {
    if (identity.empty())
        throw Foundation::PlainError("A daemon's run lock needs the daemon's identity.");
    Lock lock;
    const std::string path = get_run_lock_file_for_daemon(identity);
    lock.take(path.substr(LOCK_BASE.size() + 1), "daemon");
    return lock;
}

void Lock::take(const std::string& file_name, std::string_view what) {
    path_ = LOCK_BASE + "/" + file_name;
    // The directory lives on a file system emptied at boot: make it when
    // missing. Whether made now or found, it is used only when it is private.
    (void)Foundation::File::MakeDir::safemkdir(LOCK_BASE, 0700, {.parents = true});
    Foundation::Fd::UniqueFd dir = Foundation::File::Dir::open_private(LOCK_BASE);
    // Relative to the checked directory, never through a link, and without
    // blocking on a FIFO left in its place.
    Foundation::Fd::UniqueFd fd(Foundation::File::Open::sysopenat_with_real_perms(
        dir.get(), file_name,
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600));
    if (!fd) {
        const int err = errno;
        if (err == ELOOP) {
            throw Foundation::PlainError("The run lock file " + path_ +
                             " is a symbolic link; remove it, it is made again when needed.");
        }
        throw Foundation::PlainError("Cannot open the run lock file " + path_ + ": " + std::strerror(err));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw Foundation::PlainError("The run lock file " + path_ +
                         " is not a regular file; remove it, it is made again when needed.");
    }
    std::optional<Foundation::File::Flock> fh;
    fh.emplace(std::move(fd));
    if (!wait_for_ex_lock(*fh, LOCK_TIMEOUT)) {
        throw Foundation::PlainError("Could not obtain the run lock " + path_ + " within " +
                         std::to_string(static_cast<long>(LOCK_TIMEOUT)) +
                         " seconds: another run is still working on this " + std::string(what) +
                         holder_of_descriptor(fh->fd()) + ".");
    }
    fh_ = std::move(fh);
}

bool Lock::release() {
    fh_.reset();
    return true;
}

}  // namespace Tavrel::Service
