// Tavrel::Config::PwCache: account lookups by name or uid that read the account files
// once per run and keep what they read.
//
//   auto rec = Tavrel::Config::PwCache::getpwnam("mail");        // record, or nothing
//   auto uid = Tavrel::Config::PwCache::getpwnam_uid("mail");    // scalar form
//   auto name = Tavrel::Config::PwCache::getpwuid_name(8);
//
// A record holds the nine standard account fields plus two password-ageing
// values from the shadow file and the modification times of the account and
// shadow files. The encrypted password is read only when the caller runs as
// root and asks for the full record; otherwise the password field is the
// placeholder NO_SHADOW_PASSWORD. A record that came from the system's own
// lookup (the shortcut taken when the name-service cache daemon runs) ends in
// DUMMY_PW_RETURNS (-1, -1, 0, 0).
//
// When a map is bound (Tavrel::Config::PwCache::Helpers::init, done by
// Tavrel::Config::PwDiskCache::enable), every lookup goes through that map.
#pragma once

#include <sys/types.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Config::PwCache {

inline std::string PASSWD_FILE = "/etc/passwd";
inline std::string SHADOW_FILE = "/etc/shadow";
// The socket of the name-service cache daemon; a successful connection means it runs.
inline std::string NSCD_SOCKET = "/var/run/nscd/socket";
inline constexpr char KEY_SEPARATOR = ':';
inline const std::string NO_SHADOW_PASSWORD = "x";
inline const std::string SUPERUSER_NAME = "root";
inline constexpr int NAME_FIELD = 0;
inline constexpr int UID_FIELD = 2;
// Lookup keys whose cached entries are trusted without the freshness test.
inline std::vector<std::string> FIXED_KEYS = {};

struct Record {
    std::string name;
    std::string passwd = NO_SHADOW_PASSWORD;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string quota;
    std::string comment;
    std::string gecos;
    std::string dir;
    std::string shell;
    long long lastchg = -1;  // day of the last password change, from the shadow file
    long long expire = -1;   // day the account expires, from the shadow file
    long long passwd_mtime = 0;
    long long shadow_mtime = 0;

    bool has_shadow() const { return passwd != NO_SHADOW_PASSWORD; }
    bool operator==(const Record&) const = default;
};

// The four trailing values of a record from the system's own lookup.
inline constexpr long long DUMMY_PW_RETURNS[4] = {-1, -1, 0, 0};

// One cached lookup: the record and the file times it was read at.
struct Entry {
    Record contents;
    long long cachetime = 0;   // account file modification time when read
    long long hcachetime = 0;  // shadow file modification time when read
};

// Records travel as a 13-element list, in the field order above.
nlohmann::json record_to_json(const Record& record);
std::optional<Record> record_from_json(const nlohmann::json& value);

// "<field><KEY_SEPARATOR><value>", e.g. "0:root" or "2:0".
std::string make_key(int field, std::string_view value);
// The key's field and value, or nothing for a key that is malformed or
// holds characters that cannot occur in an account name or uid.
std::optional<std::pair<int, std::string>> split_key(std::string_view key);

std::optional<Record> getpwnam(std::string_view name);
std::optional<Record> getpwuid(uid_t uid);
std::optional<Record> getpwnam_noshadow(std::string_view name);
std::optional<Record> getpwuid_noshadow(uid_t uid);
std::optional<uid_t> getpwnam_uid(std::string_view name);
std::optional<std::string> getpwuid_name(uid_t uid);

// The shared lookup: `field` is NAME_FIELD or UID_FIELD. Without
// `want_password` (or when not root) the answer never carries shadow data,
// even when the entry it comes from (a bound map, the per-process cache)
// was read with it.
std::optional<Record> pwfunc(std::string_view value, int field, bool want_password);
// Drops what came from the shadow file: the password hash and its ageing days.
void without_shadow(Record& record);

// Whether the name-service cache daemon answers; asked once per process.
bool nscd_running();
// Forgets the per-process cache and the daemon answer (for tests).
void reset();

}  // namespace Tavrel::Config::PwCache
