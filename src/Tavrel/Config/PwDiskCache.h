// Tavrel::Config::PwDiskCache: the account lookups' cache kept on disk across runs,
// one JSON file per lookup key in a root-only directory. The name-keyed and
// uid-keyed files of one account are hard links of each other.
//
//   Tavrel::Config::PwDiskCache::enable();    // every PwCache lookup now goes through it
//   ...
//   Tavrel::Config::PwDiskCache::disable();
//
// Only root writes. A file is trusted only when it is a regular file owned by
// root, carries the current VERSION and still matches the account files. No
// record of a uid-0 account other than the superuser is ever written.
#pragma once

#include "Tavrel/Config/PwCache/Helpers.h"

#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Config {

class PwDiskCache : public PwCache::Helpers::Tied {
  public:
    inline static std::string CACHE_DIR = "/var/cache/tavrel/pwcache";
    static constexpr int VERSION = 1;

    std::optional<PwCache::Entry> FETCH(const std::string& key) override;
    void STORE(const std::string& key, const PwCache::Entry& entry) override;
    bool EXISTS(const std::string& key) override;

    // Binds (or unbinds) one process-wide disk cache to the lookups, with
    // uid-keyed caching skipped (the twin links provide those files).
    static void enable();
    static void disable();

    static std::string path_of(const std::string& key);
    // The other lookup key of the entry's account.
    static std::optional<std::string> twin_key(const std::string& key, const PwCache::Entry& entry);

    // The entry a cache file's text holds for `key`: nothing unless it is a
    // document of this VERSION whose record names the key's account and still
    // matches the account files.
    static std::optional<PwCache::Entry> entry_from_text(const std::string& key,
                                                         std::string_view text);

  private:
    std::optional<PwCache::Entry> read_pwdisk_cache(const std::string& key);
};

}  // namespace Tavrel::Config
