#include "Tavrel/ServiceManager/Manager/PidfileProcess.h"

#include "Tavrel/ErrnoGuard.h"
#include "Tavrel/PlainError.h"
#include "Tavrel/Proc/Lineage.h"
#include "Tavrel/Proc/PID.h"
#include "Tavrel/PwUtils.h"
#include "Tavrel/Regex.h"
#include "Tavrel/Unix/PID/Tiny.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace Tavrel::ServiceManager::Manager {

namespace {

std::string in_quotes(const std::string& text) {
    return "“" + text + "”";
}

// The judgement's voice: a refusal is a warning when loud, nothing when quiet.
class Judge {
  public:
    Judge(Service& svc, PidfileJudging how) : svc_(svc), loud_(how == PidfileJudging::Loud) {}
    std::nullopt_t refuse(const std::string& why) const {
        if (loud_)
            svc_.warn(why);
        return std::nullopt;
    }
    std::nullopt_t fail(const std::string& why) const {
        if (loud_)
            throw PlainError(why);
        return std::nullopt;
    }
    void debug(const std::string& text) const {
        if (loud_)
            svc_.debug(text);
    }

  private:
    Service& svc_;
    bool loud_;
};

// The executable the process runs, without the marker of a binary replaced
// on disk ("/usr/sbin/x (deleted)"); nothing when the link cannot be read
// for another reason than a missing process, with errno set.
std::optional<std::string> executable_of(pid_t pid) {
    char link[PATH_MAX + 1];
    const std::string path = Proc::PROC_PATH + "/" + std::to_string(pid) + "/exe";
    const ssize_t n = ::readlink(path.c_str(), link, PATH_MAX);
    std::string exe;
    if (n >= 0)
        exe.assign(link, static_cast<size_t>(n));
    else if (errno != ENOENT)
        return std::nullopt;
    static const Regex deleted_marker(R"(^\(deleted\)\s+|\s+\(deleted\)$)");
    return deleted_marker.replace(exe, "", true);
}

}  // namespace

std::optional<Kill::Target> pidfile_process(Service& svc, PidfileJudging how) {
    const Judge judge(svc, how);
    const std::string name = svc.service_name();
    const std::string pidfile = svc.pidfile();
    if (pidfile.empty())
        return std::nullopt;
    {
        ErrnoGuard keep;
        struct stat st {};
        if (::stat(pidfile.c_str(), &st) != 0)
            return std::nullopt;
    }

    // Read the file, and judge its owner, through one descriptor.
    struct stat st {};
    const auto head = Unix::PID::Tiny::read_pidfile(pidfile, &st);
    if (!head) {
        const int err = errno;
        return judge.fail("Could not open the pid file " + pidfile + " of " + name + ": " +
                          std::strerror(err));
    }
    std::string line = head->substr(0, head->find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.empty() || line == "0")
        return std::nullopt;

    const auto pid = Unix::PID::Tiny::pid_from_text(line);
    if (!pid) {
        return judge.refuse("The pid file " + pidfile + " of " + in_quotes(name) +
                            " does not name a process that may be signalled (" + in_quotes(line) +
                            "); it is ignored.");
    }
    const auto lineage = Proc::Lineage::pids();
    if (std::find(lineage.begin(), lineage.end(), *pid) != lineage.end()) {
        return judge.refuse("The pid file " + pidfile + " of " + in_quotes(name) +
                            " names process " + std::to_string(*pid) +
                            ", which is this run or one that started it; it is not signalled.");
    }

    // From here on the process is held by a pidfd: whatever is checked and
    // signalled is this very process, never a later one that reuses its pid.
    auto target = Kill::Target::open(*pid);
    if (!target.alive()) {
        judge.debug("The pid file " + pidfile + " names process " + std::to_string(*pid) +
                    ", which is not running.");
        return std::nullopt;
    }

    bool confirmed = false;
    if (const std::string pid_exe = svc.pid_exe(); !pid_exe.empty()) {
        const auto exe = executable_of(*pid);
        const int err = errno;
        if (!target.alive())
            return std::nullopt;  // ended meanwhile: nothing to stop
        if (!exe) {
            return judge.fail("Could not read the executable of process " + std::to_string(*pid) +
                              " named by the pid file " + pidfile + " of " + name + ": " +
                              std::strerror(err));
        }
        if (!Regex(pid_exe).test(*exe)) {
            return judge.refuse("The pid file " + pidfile + " of " + in_quotes(name) +
                                " names process " + std::to_string(*pid) + ", which runs " +
                                (exe->empty() ? std::string("no executable") : in_quotes(*exe)) +
                                ", not the service's program; it is not signalled.");
        }
        confirmed = true;
    }

    // A pid file last written before its process started was left by a
    // service that has ended: its pid now belongs to another process.
    if (!confirmed) {
        bool reused = false;
        try {
            reused = Proc::PID(*pid).started_after(st.st_mtim, PIDFILE_AGE_SLACK);
        } catch (const std::exception&) {
            return std::nullopt;  // ended meanwhile: nothing to stop
        }
        if (!target.alive())
            return std::nullopt;
        if (reused) {
            return judge.refuse("The pid file " + pidfile + " of " + in_quotes(name) +
                                " is older than process " + std::to_string(*pid) +
                                " it names, so that pid was reused by another process; it is "
                                "not signalled.");
        }
    }

    // A pid file that someone else could have written proves nothing by
    // itself: the process must show it belongs to the service.
    const bool trusted_file =
        (st.st_uid == 0 || st.st_uid == ::geteuid()) && (st.st_mode & S_IWOTH) == 0;
    if (!trusted_file && !confirmed) {
        if (const std::string owner = svc.processowner(); !owner.empty()) {
            const auto owner_uid = PwUtils::normalize_to_uid(owner);
            try {
                confirmed = owner_uid && Proc::PID(*pid).uid() == *owner_uid && target.alive();
            } catch (const std::exception&) {
                confirmed = false;
            }
        }
        if (!confirmed) {
            return judge.refuse("The pid file " + pidfile + " of " + in_quotes(name) +
                                " may have been written by another user, and process " +
                                std::to_string(*pid) +
                                " could not be confirmed as the service's own; it is not "
                                "signalled.");
        }
    }
    return target;
}

}  // namespace Tavrel::ServiceManager::Manager
