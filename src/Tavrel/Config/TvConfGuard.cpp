#include "Tavrel/Config/TvConfGuard.h"

#include "Tavrel/Foundation/Poll.h"
#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/File/Write.h"
#include "Tavrel/Config/JSON.h"
#include "Tavrel/Config/JSON/Quiet.h"
#include "Tavrel/Foundation/PlainError.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace Tavrel::Config {

namespace {

time_t mtime_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

using Foundation::Poll::pause_for;

void debug(const std::string& text) {
    if (Foundation::Debug::debug_level() >= 5)
        Foundation::Debug::log_debug(text);
}

// Reads the cache file, again when it changed during the read.
std::shared_ptr<const TvConf> read_cache_file(const std::string& cache_path, time_t& cache_mtime) {
    std::shared_ptr<const TvConf> conf;
    for (int i = 0; i < TvConfGuard::CACHE_MAX_READS; ++i) {
        // The cache is replaced whole (rename), so each read is of one
        // complete file; only a cache that changed under a read is read again.
        // No pause before the first read: the cache is stamped one second
        // ahead, and a pause for a cache stamped "now" stalled every run in
        // the second after a settings change.
        time_t before = mtime_of(cache_path);
        auto doc = JSON::Quiet::LoadFile(cache_path);
        conf = doc ? TvConfGuard::conf_from_cache(*doc) : nullptr;
        cache_mtime = mtime_of(cache_path);
        if (cache_mtime == before)
            break;
        pause_for(TvConfGuard::CACHE_REREAD_SLEEP);
    }
    return conf;
}

}  // namespace

std::shared_ptr<const TvConf> TvConfGuard::conf_from_cache(const nlohmann::json& doc) {
    if (!doc.is_object() || doc.empty())
        return nullptr;
    auto conf = std::make_shared<TvConf>();
    for (const auto& [key, value] : doc.items()) {
        if (value.is_string()) {
            (*conf)[key] = value.get<std::string>();
        } else if (value.is_null()) {
            (*conf)[key] = "";
        } else {
            (*conf)[key] = value.dump();
        }
    }
    return conf;
}

std::optional<std::string> TvConfGuard::cache_text(const TvConf& conf) {
    JSON::Value doc = JSON::Value::object();
    for (const auto& [key, value] : conf)
        doc[key] = value;
    try {
        // The strict encoder refuses bytes that are not UTF-8, where the
        // lenient one would put U+FFFD in the cache in their place.
        return doc.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::pair<std::shared_ptr<const TvConf>, bool> TvConfGuard::get_cache() {
    time_t conf_mtime = mtime_of(TVCONF_FILE);
    debug("tvconf mtime " + std::to_string(conf_mtime));
    if (MEM_CACHE && conf_mtime != 0 && conf_mtime == MEM_CACHE_TAVREL_CONFIG_MTIME) {
        return {MEM_CACHE, true};
    }
    MEM_CACHE.reset();
    MEM_CACHE_TAVREL_CONFIG_MTIME = 0;
    if (!JSON::Quiet::LoadJSONModule())
        return {nullptr, false};
    if (::access(TVCONF_CACHE_FILE.c_str(), F_OK) != 0)
        return {nullptr, false};
    time_t cache_mtime = 0;
    auto conf = read_cache_file(TVCONF_CACHE_FILE, cache_mtime);
    if (!conf)
        return {nullptr, false};
    if (conf_mtime != 0 && cache_mtime != 0 && cache_mtime == conf_mtime + 1) {
        debug("tvconf cache valid");
        MEM_CACHE = conf;
        MEM_CACHE_TAVREL_CONFIG_MTIME = conf_mtime;
        return {conf, true};
    }
    debug("tvconf cache invalid");
    return {conf, false};
}

TvConfGuard::TvConfGuard(Options options)
    : options_(options), path_(TVCONF_FILE), pid_(::getpid()) {
    use_lock_ = options.use_lock.value_or(::geteuid() == 0);
    if (memory_only) {
        data_ = std::make_shared<const TvConf>(*memory_only);
        return;
    }
    std::tie(cache_, cache_is_valid_) = get_cache();
    if (options.loadtvconf && cache_is_valid_)
        return;
    load_tvconf_file();
    if (!is_daemon && !options.no_validate && use_lock_) {
        find_missing_keys();
        validate_keys();
        notify_and_save_if_changed();
    }
}

void TvConfGuard::load_tvconf_file() {
    if (IN_LOAD)
        throw Foundation::PlainError("Nested load of " + path_ + " in one process");
    IN_LOAD = true;
    struct InLoadReset {
        ~InLoadReset() { IN_LOAD = false; }
    } reset;

    is_missing_ = ::access(path_.c_str(), F_OK) != 0;
    if (is_missing_ && !use_lock_)
        return;
    if (is_missing_) {
        int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            // Exact ownership and mode, whatever the umask.
            (void)::fchown(fd, 0, 0);
            (void)::fchmod(fd, 0644);
            ::close(fd);
        }
    }
    rw_ = use_lock_ && !cache_is_valid_;
    LoadConfig::Result r = LoadConfig::load(path_, {.keep_locked_open = use_lock_, .rw = rw_});
    if (!r.data && r.error_number != ENOENT) {
        throw Foundation::PlainError("Cannot load " + path_ + ": " +
                         (r.error.empty() ? std::string("unknown error") : r.error));
    }
    if (!r.data)
        return;
    lock_ = std::move(r.lock);
    data_ = std::make_shared<const TvConf>(std::move(*r.data));
    loaded_mtime_ = r.mtime;
    // Settings read without the lock are used all the same (a run must not
    // fail because another tool holds the file); only the cache is not
    // rewritten from them.
    if (use_lock_ && !is_locked()) {
        Foundation::Debug::log_warn("No lock held on " + path_ + (r.error.empty() ? "" : " (" + r.error + ")") +
                        "; using the settings as read.");
    }
    if (!MEM_CACHE) {
        MEM_CACHE = data_;
        MEM_CACHE_TAVREL_CONFIG_MTIME = r.mtime;
    }
}

TvConfGuard::~TvConfGuard() {
    if (::geteuid() != 0 || memory_only)
        return;
    if (!is_locked())
        return;
    try {
        release_lock();
    } catch (...) {
        // Nothing may escape a destructor; the lock ends with the descriptor.
    }
}

TvConf TvConfGuard::config_copy() const {
    if (data_)
        return *data_;
    if (cache_)
        return *cache_;
    return {};
}

void TvConfGuard::update_cache() {
    if (!data_)
        return;
    struct stat st;
    if (::fstat(lock_->fd(), &st) != 0)
        return;
    auto text = cache_text(*data_);
    if (!text) {
        // Readers then take the settings from the file itself.
        ::unlink(TVCONF_CACHE_FILE.c_str());
        return;
    }
    // Stamped before it is put in place, so no reader ever sees it unstamped.
    timespec times[2] = {{st.st_mtime + 1, 0}, {st.st_mtime + 1, 0}};
    auto stamp = [&times](int fd) { (void)::futimens(fd, times); };
    Foundation::File::Write::overwrite_no_exceptions(TVCONF_CACHE_FILE, *text, {0644, stamp});
}

void TvConfGuard::release_lock() {
    if (!lock_ || ::getpid() != pid_)
        return;
    if (rw_ && is_locked())
        update_cache();
    lock_.reset();
}

std::vector<std::string> TvConfGuard::find_missing_keys() const {
    return {};
}

void TvConfGuard::validate_keys() {}

bool TvConfGuard::notify_and_save_if_changed() {
    return false;
}

}  // namespace Tavrel::Config
