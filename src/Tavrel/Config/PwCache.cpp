#include "Tavrel/Config/PwCache.h"
#include "Tavrel/Foundation/Text/Digits.h"

#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Config/PwCache/Helpers.h"
#include "Tavrel/Config/PwCache/Load.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace Tavrel::Config::PwCache {

namespace {

std::optional<bool>& nscd_answer() {
    static std::optional<bool> answer;
    return answer;
}

bool valid_name(std::string_view v) {
    if (v.empty() || v.size() > 256 || v.front() == '-')
        return false;
    for (size_t i = 0; i < v.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(v[i]);
        if (std::isalnum(c) || c == '_' || c == '.' || c == '-')
            continue;
        if (c == '$' && i + 1 == v.size())
            continue;
        return false;
    }
    return true;
}

bool all_digits(std::string_view v) {
    return v.size() <= 10 && Foundation::Text::all_digits(v);
}

// The system's own lookup, used only through the name-service cache daemon.
std::optional<Record> system_lookup(std::string_view value, int field) {
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    std::string v(value);
    int rc = field == NAME_FIELD ? ::getpwnam_r(v.c_str(), &pw, buf.data(), buf.size(), &found)
                                 : ::getpwuid_r(static_cast<uid_t>(std::stoul(v)), &pw, buf.data(),
                                                buf.size(), &found);
    if (rc != 0 || !found)
        return std::nullopt;
    Record r;
    r.name = pw.pw_name;
    r.passwd = pw.pw_passwd ? pw.pw_passwd : NO_SHADOW_PASSWORD;
    r.uid = pw.pw_uid;
    r.gid = pw.pw_gid;
    r.gecos = pw.pw_gecos ? pw.pw_gecos : "";
    r.dir = pw.pw_dir ? pw.pw_dir : "";
    r.shell = pw.pw_shell ? pw.pw_shell : "";
    r.lastchg = DUMMY_PW_RETURNS[0];
    r.expire = DUMMY_PW_RETURNS[1];
    r.passwd_mtime = DUMMY_PW_RETURNS[2];
    r.shadow_mtime = DUMMY_PW_RETURNS[3];
    return r;
}

bool is_fixed_key(const std::string& key) {
    return std::find(FIXED_KEYS.begin(), FIXED_KEYS.end(), key) != FIXED_KEYS.end();
}

std::optional<Record> lookup(std::string_view value, int field, bool want_password) {
    std::string key = make_key(field, value);
    if (!split_key(key))
        return std::nullopt;
    if (!Helpers::memory_get(key) && ::geteuid() != 0 && !Helpers::istied() && nscd_running())
        return system_lookup(value, field);
    return pwfunc(value, field, want_password);
}

}  // namespace

nlohmann::json record_to_json(const Record& r) {
    return nlohmann::json::array({r.name, r.passwd, r.uid, r.gid, r.quota, r.comment, r.gecos,
                                  r.dir, r.shell, r.lastchg, r.expire, r.passwd_mtime,
                                  r.shadow_mtime});
}

std::optional<Record> record_from_json(const nlohmann::json& v) {
    if (!v.is_array() || v.size() != 13)
        return std::nullopt;
    // Ids and times must be whole numbers: a fraction or an id out of range
    // would otherwise be converted into some other account's id (even 0).
    for (size_t i : {2, 3, 9, 10, 11, 12})
        if (!v[i].is_number_integer())
            return std::nullopt;
    for (size_t i : {2, 3})
        if (v[i].is_number_unsigned() ? v[i].get<uint64_t>() >= 0xffffffffULL
                                      : v[i].get<int64_t>() < 0)
            return std::nullopt;
    for (size_t i : {9, 10, 11, 12})
        if (v[i].is_number_unsigned() && v[i].get<uint64_t>() > INT64_MAX)
            return std::nullopt;
    try {
        Record r;
        r.name = v[0].get<std::string>();
        r.passwd = v[1].get<std::string>();
        r.uid = v[2].get<uid_t>();
        r.gid = v[3].get<gid_t>();
        r.quota = v[4].get<std::string>();
        r.comment = v[5].get<std::string>();
        r.gecos = v[6].get<std::string>();
        r.dir = v[7].get<std::string>();
        r.shell = v[8].get<std::string>();
        r.lastchg = v[9].get<long long>();
        r.expire = v[10].get<long long>();
        r.passwd_mtime = v[11].get<long long>();
        r.shadow_mtime = v[12].get<long long>();
        return r;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

void without_shadow(Record& r) {
    r.passwd = NO_SHADOW_PASSWORD;
    r.lastchg = -1;
    r.expire = -1;
}

std::string make_key(int field, std::string_view value) {
    return std::to_string(field) + KEY_SEPARATOR + std::string(value);
}

std::optional<std::pair<int, std::string>> split_key(std::string_view key) {
    if (key.size() < 3 || key[1] != KEY_SEPARATOR)
        return std::nullopt;
    std::string_view value = key.substr(2);
    if (key[0] == '0' && valid_name(value))
        return std::make_pair(NAME_FIELD, std::string(value));
    if (key[0] == '2' && all_digits(value))
        return std::make_pair(UID_FIELD, std::string(value));
    return std::nullopt;
}

std::optional<Record> pwfunc(std::string_view value, int field, bool want_password) {
    std::string key = make_key(field, value);
    const bool want = want_password && ::geteuid() == 0;
    // An entry cached (on disk or here) by a lookup that read the shadow file
    // holds the password hash: a lookup that did not ask for it never sees it.
    auto answer = [want](Record r) {
        if (!want)
            without_shadow(r);
        return r;
    };
    if (Helpers::istied()) {
        auto e = Helpers::tiedto()->FETCH(key);
        if (!e)
            return std::nullopt;
        return answer(e->contents);
    }
    if (auto cached = Helpers::memory_get(key)) {
        if (cached->contents.has_shadow() || !want) {
            if (is_fixed_key(key))
                return answer(cached->contents);
            bool stale = Load::mtime_of(PASSWD_FILE) != cached->cachetime ||
                         (want && Load::mtime_of(SHADOW_FILE) != cached->hcachetime);
            if (!stale)
                return answer(cached->contents);
            Helpers::clear_memory();
        }
    }
    auto e = want ? Load::readshadow(value, field) : Load::readpasswd(value, field);
    if (!e)
        return std::nullopt;
    Helpers::cache_pwdata(key, *e);
    return e->contents;
}

std::optional<Record> getpwnam(std::string_view name) {
    return lookup(name, NAME_FIELD, true);
}
std::optional<Record> getpwuid(uid_t uid) {
    return lookup(std::to_string(uid), UID_FIELD, true);
}
std::optional<Record> getpwnam_noshadow(std::string_view name) {
    return lookup(name, NAME_FIELD, false);
}
std::optional<Record> getpwuid_noshadow(uid_t uid) {
    return lookup(std::to_string(uid), UID_FIELD, false);
}
std::optional<uid_t> getpwnam_uid(std::string_view name) {
    auto r = getpwnam_noshadow(name);
    if (!r)
        return std::nullopt;
    return r->uid;
}
std::optional<std::string> getpwuid_name(uid_t uid) {
    auto r = getpwuid_noshadow(uid);
    if (!r)
        return std::nullopt;
    return r->name;
}

bool nscd_running() {
    auto& answer = nscd_answer();
    if (answer)
        return *answer;
    int saved = errno;
    Foundation::Fd::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    bool ok = false;
    if (fd && NSCD_SOCKET.size() < sizeof addr.sun_path) {
        std::memcpy(addr.sun_path, NSCD_SOCKET.c_str(), NSCD_SOCKET.size() + 1);
        ok = ::connect(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
    }
    errno = saved;
    answer = ok;
    return ok;
}

void reset() {
    Helpers::clear_memory();
    nscd_answer().reset();
}

}  // namespace Tavrel::Config::PwCache
