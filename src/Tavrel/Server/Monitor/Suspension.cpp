#include "Tavrel/Server/Monitor/Suspension.h"

#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/File/Write.h"
#include "Tavrel/Foundation/LoadFile.h"
#include "Tavrel/Foundation/Validate/Service.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

namespace Tavrel::Server::Monitor::Suspension {

namespace {

// Makes the directory (0700) and any missing parent (0711); false on failure.
bool make_suspend_dir() {
    struct stat st;
    if (::stat(SERVICE_SUSPEND_DIR.c_str(), &st) == 0)
        return true;
    for (size_t slash = SERVICE_SUSPEND_DIR.find('/', 1); slash != std::string::npos;
         slash = SERVICE_SUSPEND_DIR.find('/', slash + 1)) {
        std::string parent = SERVICE_SUSPEND_DIR.substr(0, slash);
        if (::mkdir(parent.c_str(), 0711) == 0)
            ::chmod(parent.c_str(), 0711);
    }
    if (::mkdir(SERVICE_SUSPEND_DIR.c_str(), 0700) != 0 && errno != EEXIST) {
        int err = errno;
        Foundation::Debug::log_warn("Cannot create the monitor suspension directory " + SERVICE_SUSPEND_DIR +
                        ": " + std::strerror(err));
        return false;
    }
    ::chmod(SERVICE_SUSPEND_DIR.c_str(), 0700);
    return true;
}

std::string file_of(std::string_view service) {
    Tavrel::Foundation::Validate::Service::assert_valid(service);
    return SERVICE_SUSPEND_DIR + "/" + std::string(service);
}

std::optional<time_t> parse_expiry(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.remove_suffix(1);
    long long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return static_cast<time_t>(value);
}

std::optional<time_t> read_expiry(const std::string& path) {
    auto text = Foundation::LoadFile::loadfile(path);
    if (!text)
        return std::nullopt;
    return parse_expiry(*text);
}

}  // namespace

std::optional<bool> suspend_service(std::string_view service, std::optional<long> delay,
                                    std::optional<time_t> now) {
    std::string path = file_of(service);
    long d = delay.value_or(0);
    if (d <= 0)
        d = DEFAULT_SUSPENSION_DELAY;
    if (d > MAX_SUSPENSION_DELAY)
        d = MAX_SUSPENSION_DELAY;
    time_t t = now.value_or(::time(nullptr));
    if (!make_suspend_dir())
        return std::nullopt;
    auto fd = Foundation::File::Write::overwrite_no_exceptions(path, std::to_string(t + d), 0600);
    return static_cast<bool>(fd);
}

int resume_service(std::string_view service) {
    return ::unlink(file_of(service).c_str()) == 0 ? 1 : 0;
}

std::optional<Suspensions> load_service_suspensions() {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(SERVICE_SUSPEND_DIR.c_str()), ::closedir);
    if (!dir)
        return std::nullopt;
    Suspensions out;
    while (struct dirent* e = ::readdir(dir.get())) {
        if (e->d_name[0] == '.')
            continue;
        if (auto expiry = read_expiry(SERVICE_SUSPEND_DIR + "/" + e->d_name)) {
            out[e->d_name] = *expiry;
        }
    }
    if (out.empty())
        return std::nullopt;
    return out;
}

std::optional<bool> is_service_suspended(const Suspensions* suspensions, std::string_view service,
                                         std::optional<time_t> now) {
    if (!suspensions || service.empty())
        return std::nullopt;
    std::optional<time_t> expiry;
    if (auto it = suspensions->find(std::string(service)); it != suspensions->end()) {
        expiry = it->second;
    } else if (Tavrel::Foundation::Validate::Service::is_valid(service)) {
        expiry = read_expiry(SERVICE_SUSPEND_DIR + "/" + std::string(service));
    }
    if (!expiry)
        return std::nullopt;
    return now.value_or(::time(nullptr)) < *expiry;
}

}  // namespace Tavrel::Server::Monitor::Suspension
