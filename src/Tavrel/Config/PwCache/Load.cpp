#include "Tavrel/Config/PwCache/Load.h"

#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/LoadFile.h"
#include "Tavrel/Config/PwCache/Helpers.h"
#include "Tavrel/Foundation/Text/Digits.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <vector>

namespace Tavrel::Config::PwCache::Load {

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

// An account id: digits only, within the id type, and not the all-ones value
// that the system calls use for "no id".
std::optional<uint32_t> to_id(std::string_view text) {
    auto v = Foundation::Text::digits_value(text, 0xfffffffeULL);
    if (!v)
        return std::nullopt;
    return static_cast<uint32_t>(*v);
}

// Each line of the text, without its newline.
template <class F>
bool each_line(std::string_view text, F&& f) {
    size_t p = 0;
    while (p < text.size()) {
        size_t nl = text.find('\n', p);
        std::string_view line = text.substr(p, nl == std::string_view::npos ? nl : nl - p);
        p = nl == std::string_view::npos ? text.size() : nl + 1;
        if (f(line))
            return true;
    }
    return false;
}

}  // namespace

long long mtime_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    return static_cast<long long>(st.st_mtime);
}

std::optional<Record> find_account(std::string_view passwd_text, std::string_view value,
                                   int field) {
    if (field != NAME_FIELD && field != UID_FIELD)
        return std::nullopt;
    std::optional<Record> found;
    each_line(passwd_text, [&](std::string_view line) {
        auto f = split_colon(line);
        if (f.size() < 7 || f[static_cast<size_t>(field)] != value)
            return false;
        auto uid = to_id(f[2]);
        auto gid = to_id(f[3]);
        if (!uid || !gid)
            return false;
        Record r;
        r.name = std::string(f[0]);
        r.passwd = NO_SHADOW_PASSWORD;
        r.uid = static_cast<uid_t>(*uid);
        r.gid = static_cast<gid_t>(*gid);
        r.gecos = std::string(f[4]);
        r.dir = std::string(f[5]);
        r.shell = std::string(f[6]);
        found = std::move(r);
        return true;
    });
    return found;
}

bool apply_shadow(std::string_view shadow_text, Record& record) {
    return each_line(shadow_text, [&](std::string_view line) {
        auto f = split_colon(line);
        if (f.size() < 8 || f[0] != record.name)
            return false;
        record.passwd = std::string(f[1]);
        record.lastchg = to_number(f[2], -1);
        record.expire = to_number(f[7], -1);
        return true;
    });
}

std::optional<Entry> readpasswd(std::string_view value, int field) {
    if (field != NAME_FIELD && field != UID_FIELD)
        return std::nullopt;
    auto text = Foundation::LoadFile::loadfile(PASSWD_FILE);
    if (!text)
        return std::nullopt;
    auto record = find_account(*text, value, field);
    if (!record)
        return std::nullopt;
    Entry e;
    e.contents = std::move(*record);
    e.cachetime = mtime_of(PASSWD_FILE);
    e.hcachetime = mtime_of(SHADOW_FILE);
    e.contents.passwd_mtime = e.cachetime;
    e.contents.shadow_mtime = e.hcachetime;
    return e;
}

std::optional<Entry> readshadow(std::string_view value, int field) {
    auto e = readpasswd(value, field);
    if (!e)
        return e;
    std::string text;
    try {
        text = Foundation::LoadFile::load(SHADOW_FILE);
    } catch (const Foundation::Exception& err) {
        Foundation::Debug::log_warn("Could not read " + SHADOW_FILE + ": " + err.to_string_no_id());
        return e;
    }
    if (apply_shadow(text, e->contents))
        return e;
    Foundation::Debug::log_warn("The account \"" + e->contents.name + "\" has no entry in " + SHADOW_FILE +
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

}  // namespace Tavrel::Config::PwCache::Load
