#include "Tavrel/Config/OS/SysBootstrap.h"

#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Regex.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace Tavrel::Config::OS::SysBootstrap {

namespace {

std::optional<time_t> lstat_mtime(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return std::nullopt;
    return st.st_mtime;
}

std::optional<time_t> stat_mtime(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return st.st_mtime;
}

bool exists_nofollow(const std::string& path) {
    return lstat_mtime(path).has_value();
}

std::vector<std::string> split_version(std::string_view v) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (parts.size() < 3) {
        size_t dot = v.find('.', start);
        if (dot == std::string_view::npos) {
            parts.emplace_back(v.substr(start));
            break;
        }
        parts.emplace_back(v.substr(start, dot - start));
        start = dot + 1;
    }
    return parts;
}

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Reads a release file; nothing when it does not exist, fatal when it exists
// but cannot be read.
std::optional<std::string> read_release(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        int err = errno;
        if (err == ENOENT)
            return std::nullopt;
        throw Foundation::PlainError("Cannot read " + path + ": " + std::strerror(err));
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void fill_defaults(Identity& id) {
    if (id.minor.empty())
        id.minor = "0";
    if (id.build.empty())
        id.build = "0";
}

}  // namespace

std::optional<Identity> parse_os_release(std::string_view text) {
    static const Foundation::Regex sep(R"(\s*=\s*)");
    static const Foundation::Regex after_space(R"(\s.+)");
    std::optional<std::string> id, version_id, version;
    size_t pos = 0;
    while (pos < text.size() && !(id && version_id && version)) {
        size_t nl = text.find('\n', pos);
        std::string_view line = text.substr(pos, nl == std::string_view::npos ? nl : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        auto m = sep.match(line);
        if (!m)
            continue;
        std::string_view key = line.substr(0, m->start());
        std::string value(line.substr(m->end()));
        if (!value.empty() && value.back() == '\r')
            value.pop_back();
        value = after_space.replace(value, "");
        if (!value.empty() && value.back() == '"')
            value.pop_back();
        if (!value.empty() && value.front() == '"')
            value.erase(0, 1);
        if (key == "ID" && !id)
            id = value;
        if (key == "VERSION_ID" && !version_id)
            version_id = value;
        if (key == "VERSION" && !version)
            version = value;
    }
    if (!id || id->empty())
        return std::nullopt;
    Identity out;
    out.distro = lower(*id);
    std::vector<std::string> a = split_version(version_id.value_or(""));
    std::vector<std::string> b = split_version(version.value_or(""));
    std::string* fields[] = {&out.major, &out.minor, &out.build};
    for (size_t i = 0; i < 3; ++i) {
        if (i < a.size() && !a[i].empty()) {
            *fields[i] = a[i];
        } else if (i < b.size()) {
            *fields[i] = b[i];
        }
    }
    fill_defaults(out);
    return out;
}

std::optional<Identity> parse_redhat_release(std::string_view text) {
    static const Foundation::Regex word(R"(^(\w+))");
    static const Foundation::Regex v3(R"(\b([0-9]+)\.([0-9]+)\.([0-9]+))");
    static const Foundation::Regex v2(R"(\b([0-9]+)\.([0-9]+))");
    static const Foundation::Regex v1(R"(\b([0-9]+))");
    std::string_view line = text.substr(0, text.find('\n'));
    auto w = word.match(line);
    if (!w)
        return std::nullopt;
    Identity out;
    out.distro = lower(std::string((*w)[1]));
    if (out.distro == "red")
        out.distro = "rhel";  // "Red Hat Enterprise Linux release 9.4"
    std::optional<Foundation::Regex::Match> m = v3.match(line);
    if (!m)
        m = v2.match(line);
    if (!m)
        m = v1.match(line);
    if (m) {
        out.major = std::string((*m)[1]);
        if (m->size() > 2)
            out.minor = std::string((*m)[2]);
        if (m->size() > 3)
            out.build = std::string((*m)[3]);
    }
    fill_defaults(out);
    return out;
}

std::optional<Identity> parse_identity_cache(std::string_view target) {
    std::vector<std::string> f;
    size_t start = 0;
    for (;;) {
        size_t bar = target.find('|', start);
        f.emplace_back(target.substr(start, bar == std::string_view::npos ? bar : bar - start));
        if (bar == std::string_view::npos)
            break;
        start = bar + 1;
        if (f.size() > 5)
            return std::nullopt;
    }
    // An empty field would pass for an identity the release files could not give.
    if (f.size() != 5 || std::any_of(f.begin(), f.end(), [](const auto& s) { return s.empty(); }))
        return std::nullopt;
    return Identity{f[0], f[1], f[2], f[3], f[4]};
}

std::optional<Identity> get_os_without_cache(bool redhat_first) {
    auto from_os_release = []() -> std::optional<Identity> {
        auto text = read_release(OS_RELEASE_FILE);
        return text ? parse_os_release(*text) : std::nullopt;
    };
    auto from_redhat = []() -> std::optional<Identity> {
        auto text = read_release(REDHAT_RELEASE_FILE);
        return text ? parse_redhat_release(*text) : std::nullopt;
    };
    std::optional<Identity> id = redhat_first ? from_redhat() : from_os_release();
    if (!id)
        id = redhat_first ? from_os_release() : from_redhat();
    return id;
}

std::optional<Identity> read_os_info_cache() {
    std::optional<time_t> cache_time = lstat_mtime(CACHE_LINK);
    if (!cache_time)
        return std::nullopt;
    if (!exists_nofollow(CUSTOM_LINK)) {
        std::optional<time_t> release_time = stat_mtime(OS_RELEASE_FILE);
        if (!release_time)
            release_time = stat_mtime(REDHAT_RELEASE_FILE);
        if (release_time && *cache_time <= *release_time)
            return std::nullopt;
    }
    std::vector<char> buf(4096);
    ssize_t n = ::readlink(CACHE_LINK.c_str(), buf.data(), buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size())
        return std::nullopt;
    return parse_identity_cache(std::string_view(buf.data(), static_cast<size_t>(n)));
}

void cache_os_info(const Identity& id) {
    if (::geteuid() != 0)
        return;
    for (size_t slash = 1; slash != std::string::npos;) {
        slash = CACHE_DIR.find('/', slash + 1);
        std::string dir = CACHE_DIR.substr(0, slash);
        if (::mkdir(dir.c_str(), 0711) == 0)
            ::chmod(dir.c_str(), 0711);
    }
    std::string target = id.os + "|" + id.distro + "|" + id.major + "|" + id.minor + "|" + id.build;
    ::unlink(CACHE_LINK.c_str());
    (void)::symlink(target.c_str(), CACHE_LINK.c_str());  // a failure only costs a re-read
}

Identity get_os_info(std::string_view token) {
    if (token != ACKNOWLEDGE_TOKEN) {
        throw Foundation::PlainError("get_os_info is internal to the platform facts; ask Tavrel::OS instead");
    }
    if (auto cached = read_os_info_cache())
        return *cached;
    Identity id = get_os_without_cache().value_or(Identity{});
    if (id.distro.empty() || id.major.empty() || id.minor.empty() || id.build.empty()) {
        throw Foundation::PlainError("Cannot identify the distribution: distro='" + id.distro + "' major='" +
                         id.major + "' minor='" + id.minor + "' build='" + id.build + "'");
    }
    cache_os_info(id);
    return id;
}

bool flush_disk_caches() {
    if (exists_nofollow(CUSTOM_LINK))
        return false;
    ::unlink(CACHE_LINK.c_str());
    return true;
}

}  // namespace Tavrel::Config::OS::SysBootstrap
