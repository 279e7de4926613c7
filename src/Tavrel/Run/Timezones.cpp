#include "Tavrel/Run/Timezones.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>

namespace Tavrel::Run::Timezones {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string without_posix(std::string zone) {
    if (zone.rfind("posix/", 0) == 0)
        zone.erase(0, 6);
    return zone;
}

// The zone name below ZONEINFO_DIR of a path, or nothing when it lies elsewhere.
std::optional<std::string> zone_below_dir(const fs::path& path) {
    std::string dir = fs::path(ZONEINFO_DIR).lexically_normal().string();
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    std::string full = path.lexically_normal().string();
    if (full.size() <= dir.size() || full.compare(0, dir.size(), dir) != 0)
        return std::nullopt;
    return full.substr(dir.size());
}

// Links followed from the local-time path before giving up on a loop.
constexpr int MAX_LINK_HOPS = 40;

// The first link target on the way from the local-time path that lies below
// the zone directory: /etc/localtime may lead there through other links
// (/etc/alternatives/localtime, a configuration-managed copy...), and the
// first zone name met is the one the administrator chose (a zone that is
// itself a link to another, US/Eastern to America/New_York, keeps its name).
std::optional<std::string> zone_from_link() {
    fs::path at = LOCALTIME_PATH;
    for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
        std::error_code ec;
        fs::path target = fs::read_symlink(at, ec);
        if (ec)
            return std::nullopt;
        if (target.is_relative())
            target = at.parent_path() / target;
        if (auto zone = zone_below_dir(target))
            return zone;
        at = target.lexically_normal();
    }
    return std::nullopt;
}

std::optional<std::string> zone_from_timezone_file(const std::string& content) {
    auto named = slurp(TIMEZONE_FILE);
    if (!named)
        return std::nullopt;
    std::string zone = named->substr(0, named->find_first_of("\r\n"));
    if (zone.empty() || zone.find("..") != std::string::npos || zone.front() == '/') {
        return std::nullopt;
    }
    auto zone_content = slurp(fs::path(ZONEINFO_DIR) / zone);
    if (!zone_content || *zone_content != content)
        return std::nullopt;
    return zone;
}

std::optional<std::string> zone_by_content(const std::string& content) {
    std::error_code ec;
    std::set<fs::path> candidates;  // sorted, so the answer does not depend on directory order
    for (auto it = fs::recursive_directory_iterator(ZONEINFO_DIR, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code entry_ec;
        if (it->is_regular_file(entry_ec) && !it->is_symlink(entry_ec) &&
            it->file_size(entry_ec) == content.size()) {
            candidates.insert(it->path());
        }
    }
    for (const auto& path : candidates) {
        auto zone = zone_below_dir(path);
        if (!zone || zone->rfind("right/", 0) == 0)
            continue;  // leap-second variants differ in meaning
        if (slurp(path) == content)
            return zone;
    }
    return std::nullopt;
}

}  // namespace

std::string calculate_TZ_env() {
    if (auto zone = zone_from_link())
        return without_posix(*zone);
    // A copy of a zone file, or links ending in a file outside the zone
    // directory: identified by content.
    std::error_code ec;
    if (fs::is_regular_file(fs::status(LOCALTIME_PATH, ec))) {
        if (auto content = slurp(LOCALTIME_PATH); content && !content->empty()) {
            if (auto zone = zone_from_timezone_file(*content))
                return without_posix(*zone);
            if (auto zone = zone_by_content(*content))
                return without_posix(*zone);
        }
    }
    return DEFAULT_ZONE;
}

}  // namespace Tavrel::Run::Timezones
