#include "Tavrel/PwCache/Load.h"

#include "Tavrel/Debug.h"
#include "Tavrel/PwCache/Helpers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <vector>

namespace Tavrel::PwCache::Load {

namespace {

std::vector<std::string_view> split_colon(std::string_view line) {
    std::vector<std::string_view> out;
    size_t p = 0;
    for (;;) {
        size_t q = line.find(':', p);
        if (q == std::string_view::npos) {
            out.push_back(line.substr(p));
            return out;
        }
        out.push_back(line.substr(p, q - p));
        p = q + 1;
    }
}

long long to_number(std::string_view text, long long fallback) {
    long long v = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || ptr != text.data() + text.size())
        return fallback;
    return v;
}

Record record_from_fields(const std::vector<std::string_view>& f) {
    Record r;
    r.name = std::string(f[0]);
    r.passwd = NO_SHADOW_PASSWORD;
    r.uid = static_cast<uid_t>(to_number(f[2], 0));
    r.gid = static_cast<gid_t>(to_number(f[3], 0));
    r.gecos = std::string(f[4]);
    r.dir = std::string(f[5]);
    r.shell = std::string(f[6]);
    return r;
}

}  // namespace

long long mtime_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    return static_cast<long long>(st.st_mtime);
}

std::optional<Entry> readpasswd(std::string_view value, int field) {
    if (field != NAME_FIELD && field != UID_FIELD)
        return std::nullopt;
    std::ifstream in(PASSWD_FILE);
    if (!in)
        return std::nullopt;
    std::string line;
    while (std::getline(in, line)) {
        auto f = split_colon(line);
        if (f.size() < 7)
            continue;
        if (f[static_cast<size_t>(field)] != value)
            continue;
        Entry e;
        e.contents = record_from_fields(f);
        e.cachetime = mtime_of(PASSWD_FILE);
        e.hcachetime = mtime_of(SHADOW_FILE);
        e.contents.passwd_mtime = e.cachetime;
        e.contents.shadow_mtime = e.hcachetime;
        return e;
    }
    return std::nullopt;
}

std::optional<Entry> readshadow(std::string_view value, int field) {
    auto e = readpasswd(value, field);
    if (!e)
        return e;
    std::ifstream in(SHADOW_FILE);
    if (!in) {
        Debug::log_warn("Could not read " + SHADOW_FILE + ": " + std::strerror(errno));
        return e;
    }
    std::string line;
    while (std::getline(in, line)) {
        auto f = split_colon(line);
        if (f.size() < 8 || f[0] != e->contents.name)
            continue;
        e->contents.passwd = std::string(f[1]);
        e->contents.lastchg = to_number(f[2], -1);
        e->contents.expire = to_number(f[7], -1);
        return e;
    }
    Debug::log_warn("The account \"" + e->contents.name + "\" has no entry in " + SHADOW_FILE +
                    ".");
    return e;
}

std::optional<Entry> load(const std::string& key) {
    auto parts = split_key(key);
    if (!parts)
        return std::nullopt;
    auto e = ::geteuid() == 0 ? readshadow(parts->second, parts->first)
                              : readpasswd(parts->second, parts->first);
    if (e)
        Helpers::cache_pwdata(key, *e);
    return e;
}

std::optional<Entry> load_cached(const std::string& key) {
    auto e = Helpers::memory_get(key);
    if (!e)
        return e;
    if (Load::mtime_of(PASSWD_FILE) != e->cachetime)
        return std::nullopt;
    if (e->contents.has_shadow() && Load::mtime_of(SHADOW_FILE) != e->hcachetime)
        return std::nullopt;
    return e;
}

}  // namespace Tavrel::PwCache::Load
