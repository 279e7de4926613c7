// Tavrel::Config::PwCache::Helpers: the per-process entry cache of the account
// lookups, and the binding of an outside map that all lookups consult first.
//
//   Tavrel::Config::PwCache::Helpers::init(&disk_cache, true);   // skip uid-keyed caching
//   ...
//   Tavrel::Config::PwCache::Helpers::deinit();
#pragma once

#include "Tavrel/Config/PwCache.h"

#include <optional>
#include <string>

namespace Tavrel::Config::PwCache::Helpers {

// A map of lookup key to cache entry, kept somewhere else (on disk).
class Tied {
  public:
    virtual ~Tied() = default;
    virtual std::optional<Entry> FETCH(const std::string& key) = 0;
    virtual void STORE(const std::string& key, const Entry& entry) = 0;
    virtual bool EXISTS(const std::string& key) = 0;
};

void init(Tied* map, bool skip_uid_cache);
bool istied();
Tied* tiedto();
void deinit();

// The per-process cache. cache_pwdata also hands the entry to a bound map
// (name-keyed entries always, uid-keyed ones unless uid caching is skipped).
std::optional<Entry> memory_get(const std::string& key);
void memory_put(const std::string& key, const Entry& entry);
void cache_pwdata(const std::string& key, const Entry& entry);
void clear_memory();

}  // namespace Tavrel::Config::PwCache::Helpers
