#include "Tavrel/Foundation/File/Write.h"

#include "Tavrel/Foundation/Autodie.h"
#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/File/Open.h"
#include "Tavrel/Foundation/IO/Flush.h"
#include "Tavrel/Foundation/PlainError.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace Tavrel::Foundation::File::Write {

namespace {

// Ignores SIGXFSZ while alive, so that a write over RLIMIT_FSIZE fails with
// EFBIG instead of ending the process; restores the old disposition.
class IgnoreSigxfsz {
  public:
    IgnoreSigxfsz() {
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        sigemptyset(&ign.sa_mask);
        ::sigaction(SIGXFSZ, &ign, &old_);
    }
    ~IgnoreSigxfsz() { ::sigaction(SIGXFSZ, &old_, nullptr); }
    IgnoreSigxfsz(const IgnoreSigxfsz&) = delete;
    IgnoreSigxfsz& operator=(const IgnoreSigxfsz&) = delete;

  private:
    struct sigaction old_ {};
};

// Removes the temporary file on scope exit unless disarmed (errno kept).
class TempRemover {
  public:
    explicit TempRemover(std::string path) : path_(std::move(path)) {}
    ~TempRemover() {
        if (path_.empty())
            return;
        const int saved = errno;
        ::unlink(path_.c_str());
        errno = saved;
    }
    void disarm() { path_.clear(); }
    TempRemover(const TempRemover&) = delete;
    TempRemover& operator=(const TempRemover&) = delete;

  private:
    std::string path_;
};

void check_path(const std::string& path) {
    if (path.empty())
        throw PlainError("An atomic write needs a path");
    const auto slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (path.find('\0') != std::string::npos || path.size() >= PATH_MAX || base.empty() ||
        base == "." || base == "..") {
        throw PlainError("Refusing to write to the unusable path \"" + path + "\"");
    }
}

std::string dir_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// Follows symbolic links to the final target, which need not exist yet (a
// dangling link is written through, creating its target).
std::string resolve_links(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        char buf[PATH_MAX];
        ssize_t n = ::readlink(current.c_str(), buf, sizeof buf);
        if (n < 0)
            return current;  // not a link (or not there): write it
        std::string target(buf, static_cast<size_t>(n));
        current = target.starts_with('/') ? target : dir_of(current) + "/" + target;
    }
    throw Exception::create("Io::OpenFailed",
                            Exception::Metadata{{"mode", ">"}, {"path", path}, {"error", ELOOP}});
}

unsigned long random_below(unsigned long range) {
    static std::mt19937_64 engine = [] {
        unsigned long seed = 0;
        if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) {
            seed = static_cast<unsigned long>(::time(nullptr));
        }
        return std::mt19937_64(seed);
    }();
    // Mix in the pid: a forked child continues its parent's sequence.
    return (engine() ^ static_cast<unsigned long>(::getpid())) % range;
}

struct TempFile {
    Fd::UniqueFd fd;
    std::string path;
};

TempFile create_temp(const std::string& target, mode_t perms) {
    const std::string prefix = dir_of(target) + "/" + TMPFILE_PREFIX;
    std::string temp;
    int err = 0;
    for (int attempt = 0; attempt < MAX_TMPFILE_CREATE_ATTEMPTS; ++attempt) {
        temp = prefix + std::to_string(random_below(TMPFILE_RANDOM_RANGE));
        Fd::UniqueFd fd;
        if (Open::sysopen_with_real_perms(fd, temp, O_WRONLY | O_CREAT | O_EXCL, perms)) {
            return {std::move(fd), temp};
        }
        err = errno;
        if (err != EEXIST) {
            throw Exception::create(
                "Io::TempFileFailed",
                Exception::Metadata{{"error", err}, {"path", temp}, {"permissions", perms}});
        }
    }
    throw Exception::create_raw("Io::TempFileFailed",
                                "Could not create a temporary file after " +
                                    std::to_string(MAX_TMPFILE_CREATE_ATTEMPTS) +
                                    " attempts (uid " + std::to_string(::geteuid()) + ", gid " +
                                    std::to_string(::getegid()) + ") for \"" + target +
                                    "\"; last tried \"" + temp + "\": " + std::strerror(err),
                                {{"error", err}, {"path", temp}, {"permissions", perms}});
}

enum class Install { Rename, Link };

Fd::UniqueFd atomic_write(const std::string& path, std::string_view content,
                               const Options& options, Install how) {
    check_path(path);
    const int saved = errno;
    const std::string target = resolve_links(path);
    TempFile temp = create_temp(target, options.permissions);
    TempRemover remover(temp.path);
    {
        IgnoreSigxfsz guard;
        IO::Flush::write_all(temp.fd.get(), content);
    }
    if (options.before_installation)
        options.before_installation(temp.fd.get());
    if (how == Install::Rename) {
        Autodie::rename(temp.path, target);
        remover.disarm();
    } else {
        Autodie::link(temp.path, target);  // fails with EEXIST when the target exists
        // The remover now only drops the temporary name; the target stays.
    }
    errno = saved;
    return std::move(temp.fd);
}

}  // namespace

Content::Content(const std::string* text) {
    if (text == nullptr) {
        throw Exception::create_raw("Param::Invalid", "The content to write is undefined.",
                                    {{"type", "null"}});
    }
    text_ = *text;
}

Content::Content(const nlohmann::json& value) {
    if (!value.is_string()) {
        const std::string type = value.type_name();
        throw Exception::create_raw("Param::Invalid",
                                    "The content to write must be a text, not " + type + ".",
                                    {{"type", type}});
    }
    text_ = value.get_ref<const std::string&>();
}

Fd::UniqueFd overwrite(const std::string& path, const Content& content,
                            const Options& options) {
    return atomic_write(path, content.text(), options, Install::Rename);
}

Fd::UniqueFd write(const std::string& path, const Content& content, const Options& options) {
    return atomic_write(path, content.text(), options, Install::Link);
}

Fd::UniqueFd overwrite_no_exceptions(const std::string& path, const Content& content,
                                          const Options& options) noexcept {
    const int saved = errno;
    try {
        return overwrite(path, content, options);
    } catch (const std::exception& e) {
        Debug::log_warn("Could not write \"" + path + "\": " + get_string(e));
    } catch (...) {
        Debug::log_warn("Could not write \"" + path + "\"");
    }
    errno = saved;
    return {};
}

bool write_fh(int fd, const Content& content) {
    const int saved = errno;
    Autodie::seek(fd, 0, SEEK_SET);
    Autodie::print(fd, content.text());
    off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end < 0)
        end = static_cast<off_t>(content.text().size());
    Autodie::truncate(fd, end);
    errno = saved;
    return true;
}

}  // namespace Tavrel::Foundation::File::Write
