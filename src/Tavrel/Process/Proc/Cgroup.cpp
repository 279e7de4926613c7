#include "Tavrel/Process/Proc/Cgroup.h"

#include "Tavrel/Foundation/LoadFile.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Foundation/Text/Digits.h"

#include <unistd.h>

#include <filesystem>
#include <sstream>

namespace Tavrel::Process::Proc::Cgroup {

namespace {

constexpr std::string_view SERVICE_SUFFIX = ".service";

// The last component of `path` that names a service unit.
std::string innermost_service(std::string_view path) {
    std::string_view found;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        std::string_view part =
            path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (part.size() > SERVICE_SUFFIX.size() && part.ends_with(SERVICE_SUFFIX))
            found = part;
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    return std::string(found);
}

}  // namespace

std::string service_unit(std::string_view cgroup_text) {
    std::string unified, named;
    size_t p = 0;
    while (p < cgroup_text.size()) {
        size_t nl = cgroup_text.find('\n', p);
        std::string_view line = cgroup_text.substr(p, nl == std::string_view::npos ? std::string_view::npos : nl - p);
        p = nl == std::string_view::npos ? cgroup_text.size() : nl + 1;
        // "<id>:<controllers>:<path>"; the path may itself hold colons.
        size_t first = line.find(':');
        size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos)
            continue;
        std::string_view id = line.substr(0, first);
        std::string_view controllers = line.substr(first + 1, second - first - 1);
        std::string_view path = line.substr(second + 1);
        if (id == "0" && controllers.empty())
            unified = innermost_service(path);
        else if (controllers == "name=systemd")
            named = innermost_service(path);
    }
    return unified.empty() ? named : unified;
}

std::string service_unit_of(pid_t pid) {
    const auto text = Foundation::ProcFs::path(Foundation::ProcFs::PROC_PATH + "/" + std::to_string(pid) + "/cgroup");
    return text ? service_unit(*text) : std::string();
}

namespace {

// The pids of one group's cgroup.procs, in its order.
void add_processes_of(const std::filesystem::path& group, std::vector<pid_t>& pids) {
    std::istringstream listed(Foundation::LoadFile::loadfile((group / "cgroup.procs").string()).value_or(""));
    for (std::string word; listed >> word;)
        if (const auto pid = Foundation::Text::digits_value(word, INT32_MAX); pid && *pid > 0)
            pids.push_back(static_cast<pid_t>(*pid));
}

}  // namespace

std::vector<pid_t> processes_in(std::string_view path) {
    // A relative or climbing path names no unit's group.
    if (!path.starts_with('/') || path.find("/..") != std::string_view::npos)
        return {};
    for (const auto& tree : CONTROL_GROUP_TREES) {
        const std::filesystem::path group = tree + std::string(path);
        std::error_code ec;
        if (!std::filesystem::is_directory(group, ec))
            continue;
        std::vector<pid_t> pids;
        add_processes_of(group, pids);
        for (std::filesystem::recursive_directory_iterator it(group, ec), end; !ec && it != end;
             it.increment(ec)) {
            if (it->is_directory(ec))
                add_processes_of(it->path(), pids);
        }
        return pids;
    }
    return {};
}

bool belongs_to_another_unit(pid_t pid, std::string_view own_unit) {
    const std::string unit = service_unit_of(pid);
    if (unit.empty() || unit == own_unit)
        return false;
    return unit != service_unit_of(::getpid());
}

}  // namespace Tavrel::Process::Proc::Cgroup
