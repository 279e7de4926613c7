// Tavrel::Config::TvConfGuard: one read of the main configuration, deciding
// whether the JSON cache beside it can be trusted and otherwise reading the
// key=value file itself, holding the file's lock while running as root.
//
// The cache is valid exactly when its modification time is the configuration
// file's modification time plus one second (the writer stamps it so); either
// file missing means invalid. After a root load, releasing the guard rewrites
// the cache (atomically, stamped) before the lock is dropped.
//
// Readers use Tavrel::Config::LoadTvConf; this class is for code that needs
// the guard itself (the lock, or the raw pieces of a read).
#pragma once

#include "Tavrel/Config/LoadConfig.h"
#include "Tavrel/Config/LoadTvConf.h"
#include "Tavrel/Foundation/File/Flock.h"

#include <nlohmann/json.hpp>
#include <sys/types.h>

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Tavrel::Config {

struct TvConfGuardOptions {
    bool loadtvconf = false;       // a reader: a valid cache is enough
    bool no_validate = false;      // skip the validation after a root load
    std::optional<bool> use_lock;  // default: running as root
};

class TvConfGuard {
  public:
    // Where the configuration and its cache live.
    static inline std::string TVCONF_FILE = "/etc/tavrel.conf";
    static inline std::string TVCONF_CACHE_FILE = "/etc/tavrel.conf.cache";
    // Pause used by the cache reader when the cache may be mid-rewrite.
    static inline double CACHE_REREAD_SLEEP = 1.0;
    static inline int CACHE_MAX_READS = 10;

    // Process-wide state.
    static inline std::shared_ptr<const TvConf> MEM_CACHE;
    static inline time_t MEM_CACHE_TAVREL_CONFIG_MTIME = 0;
    static inline bool IN_LOAD = false;
    // When set, nothing touches the disk and this is the configuration.
    static inline std::optional<TvConf> memory_only;
    static inline bool is_daemon = false;

    using Options = TvConfGuardOptions;

    explicit TvConfGuard(Options options = Options());
    ~TvConfGuard();
    TvConfGuard(const TvConfGuard&) = delete;
    TvConfGuard& operator=(const TvConfGuard&) = delete;

    // (settings or nothing, valid?) read from the memory cache or the JSON cache.
    static std::pair<std::shared_ptr<const TvConf>, bool> get_cache();

    // The settings a cache document holds: strings as they are, other scalars
    // as their JSON text, null as empty; nothing when it is not a non-empty
    // object.
    static std::shared_ptr<const TvConf> conf_from_cache(const nlohmann::json& doc);
    // The cache document of the settings; nothing when JSON cannot carry them
    // unchanged (a key or value that is not UTF-8 text).
    static std::optional<std::string> cache_text(const TvConf& conf);

    // An independent copy of data(), else of the cache, else empty.
    TvConf config_copy() const;
    // Closes the file and drops the lock (rewriting the cache first) when this
    // guard, in the process that made it, holds one.
    void release_lock();

    const std::shared_ptr<const TvConf>& data() const { return data_; }
    const std::shared_ptr<const TvConf>& cache() const { return cache_; }
    bool cache_is_valid() const { return cache_is_valid_; }
    bool use_lock() const { return use_lock_; }
    bool is_missing() const { return is_missing_; }
    bool rw() const { return rw_; }
    bool is_locked() const { return lock_.has_value() && lock_->locked(); }
    int fd() const { return lock_ ? lock_->fd() : -1; }
    pid_t pid() const { return pid_; }
    const std::string& path() const { return path_; }

    // Keys a complete configuration must have and does not (none are required
    // by this system), the validation of values, and the save after them.
    std::vector<std::string> find_missing_keys() const;
    void validate_keys();
    bool notify_and_save_if_changed();

  private:
    void load_tvconf_file();
    void update_cache();

    Options options_;
    std::string path_;
    pid_t pid_;
    bool use_lock_ = false;
    std::shared_ptr<const TvConf> cache_;
    bool cache_is_valid_ = false;
    bool is_missing_ = false;
    bool rw_ = false;
    std::shared_ptr<const TvConf> data_;
    std::optional<Foundation::File::Flock> lock_;
    time_t loaded_mtime_ = 0;
};

}  // namespace Tavrel::Config
