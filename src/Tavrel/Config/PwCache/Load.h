// Tavrel::Config::PwCache::Load: reading account records from the account files.
//
//   auto e = Tavrel::Config::PwCache::Load::load("0:mail");   // reads and caches
#pragma once

#include "Tavrel/Config/PwCache.h"

#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Config::PwCache::Load {

// The modification time of a file in seconds, 0 when it cannot be examined.
long long mtime_of(const std::string& path);

// The first account line whose field `field` equals `value`, with the two
// file times; nothing when there is none or the file cannot be read.
std::optional<Entry> readpasswd(std::string_view value, int field);
// readpasswd() completed with the password and ageing values from the shadow
// file; warns and returns the record without them when the shadow file
// cannot be read or lacks the account.
std::optional<Entry> readshadow(std::string_view value, int field);

// The parsers behind them, over the files' text. find_account gives the first
// line whose field `field` equals `value`; a line with fewer than seven
// fields, or whose uid or gid is not a plain decimal number of an id, is
// malformed and never matches (it must not pass for uid 0). apply_shadow
// fills the password and ageing values from the record's shadow line and
// says whether there was one.
std::optional<Record> find_account(std::string_view passwd_text, std::string_view value,
                                   int field);
bool apply_shadow(std::string_view shadow_text, Record& record);

// Reads the record for a lookup key from the files (with shadow data when
// running as root) and caches it in the per-process cache.
std::optional<Entry> load(const std::string& key);
// The per-process entry for the key, when it is still fresh.
std::optional<Entry> load_cached(const std::string& key);

}  // namespace Tavrel::Config::PwCache::Load
