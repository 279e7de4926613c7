// Tavrel::Config::LoadTvConf: the readers' entry points to the server's main
// configuration (the key=value file shared by every tool of the product).
//
//   auto conf = Tavrel::Config::LoadTvConf::loadtvconf_not_copy();
//   if (auto it = conf->find("maxmem"); it != conf->end()) use(it->second);
//
// Both readers are served from the process memory cache while the file's
// modification time is unchanged, else from the JSON cache when it is valid,
// else from the file itself (locked while it is read when running as root).
// A missing file is not an error: the answer is then an empty map.
#pragma once

#include <map>
#include <memory>
#include <string>

namespace Tavrel::Config {

using TvConf = std::map<std::string, std::string>;

namespace LoadTvConf {

// A copy of the settings, free to change.
TvConf loadtvconf();

// The settings without copying: a shared, read-only map that stays valid for as
// long as the caller holds it, even when a later read replaces the cache.
std::shared_ptr<const TvConf> loadtvconf_not_copy();

// Forgets the settings cached in this process.
void clearcache();

}  // namespace LoadTvConf
}  // namespace Tavrel::Config
