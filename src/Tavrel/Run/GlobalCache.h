// Tavrel::Run::GlobalCache: the product-wide named caches of facts and command
// output, each a JSON file <product dir>/<GLOBAL_CACHE_SUBDIR>/<name>.json
// holding {"data": {...facts...}, "command": {"<key>": "<output>", ...}}.
//
//   if (auto remote = Tavrel::Run::GlobalCache::data("mysql", "is_remote")) ...
//
// A cache is read once per process and name; a missing or damaged file
// answers nothing for every key. Nothing here throws for ordinary conditions.
#pragma once

#include "Tavrel/Config/JSON.h"

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Tavrel::Run::GlobalCache {

inline std::string DEFAULT_PRODUCT_DIR = "/var/tavrel";
inline std::string GLOBAL_CACHE_SUBDIR = "globalcache";
// Joins program and arguments into a command key.
inline constexpr char COMMAND_KEY_SEPARATOR = '\x1f';

// Runs a command and gives its standard output, or nothing when it fails.
// The default runs the program directly (no shell, no PATH search) through
// the safe command runner; tests and callers may replace it.
using CommandRunner = std::function<std::optional<std::string>(
    const std::string& program, const std::vector<std::string>& args)>;
void set_command_runner(CommandRunner runner);

// The fact `key` of cache `name`, when the cache file's modification time is
// later than `min_time`.
std::optional<Config::JSON::Value> data(const std::string& cache_name, const std::string& key,
                                time_t min_time = 0);
// The cached output of the command when the cache file is newer than the
// program (modification and change time); otherwise the command's output.
std::optional<std::string> cachedcommand(const std::string& cache_name, const std::string& program,
                                         const std::vector<std::string>& args = {});
// As cachedcommand, valid while the cache file is at most `max_age` seconds old.
std::optional<std::string> cachedmcommand(const std::string& cache_name, time_t max_age,
                                          const std::string& program,
                                          const std::vector<std::string>& args = {});
std::optional<time_t> get_cache_mtime(const std::string& cache_name);
// Loads cache `name` from an explicit file (replacing what is held for it);
// true when the file held a JSON object.
bool loadfile(const std::string& cache_name, const std::string& path);
// Forgets every loaded cache.
void clearcache();
// The product data directory, set first when a new one is given.
std::string default_product_dir(std::optional<std::string> new_dir = std::nullopt);
// The cache file of `name`.
std::string cache_path(const std::string& cache_name);
std::string command_key(const std::string& program, const std::vector<std::string>& args);

}  // namespace Tavrel::Run::GlobalCache
