#include "Tavrel/Run/GlobalCache.h"

#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Run/SafeRun/Object.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>

namespace Tavrel::Run::GlobalCache {

namespace {

struct Cache {
    Config::JSON::Value value;  // the whole object: {"data": ..., "command": ...}
    time_t mtime = 0;
};

std::map<std::string, Cache>& caches() {
    static std::map<std::string, Cache> c;
    return c;
}

std::string& product_dir() {
    static std::string dir = DEFAULT_PRODUCT_DIR;
    return dir;
}

std::optional<std::string> run_directly(const std::string& program,
                                        const std::vector<std::string>& args) {
    try {
        SafeRun::Options options;
        options.program = program;
        options.args = args;
        SafeRun::Object run(std::move(options));
        if (run.CHILD_ERROR() == 0)
            return run.stdout_text();
    } catch (const std::exception& e) {
        Foundation::Debug::log_warn("Could not run \"" + program + "\": " + e.what());
    }
    return std::nullopt;
}

CommandRunner& runner() {
    static CommandRunner r = run_directly;
    return r;
}

// Reads a cache file; nothing when it cannot be opened; an empty object when
// it does not hold one. The time and the content come from one open file: a
// cache replaced between a look at its time and its reading would otherwise
// pass its new content off as old enough, or its old one as new.
std::optional<Cache> read_cache(const std::string& path) {
    Foundation::Fd::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0)
        return std::nullopt;
    Cache cache;
    cache.mtime = st.st_mtime;
    cache.value = Config::JSON::Value::object();
    try {
        // Stack traces are not wanted for failures that are thrown away.
        Foundation::Exception::StackTraceSuppressor quiet;
        Config::JSON::Value value = Config::JSON::LoadFile(fd.get(), path);
        if (value.is_object())
            cache.value = std::move(value);
    } catch (...) {
        // A damaged cache answers nothing.
    }
    return cache;
}

// A cache name is one file name: nothing that could leave the directory.
bool usable_name(const std::string& name) {
    return !name.empty() && name.front() != '.' && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

const Cache* get(const std::string& name) {
    if (!usable_name(name))
        return nullptr;
    auto& all = caches();
    if (auto it = all.find(name); it != all.end())
        return &it->second;
    const int saved = errno;
    auto cache = read_cache(cache_path(name));
    errno = saved;
    if (!cache)
        return nullptr;  // a missing file leaves no entry
    return &all.emplace(name, std::move(*cache)).first->second;
}

const Config::JSON::Value* member(const Config::JSON::Value& obj, const char* section, const std::string& key) {
    auto s = obj.find(section);
    if (s == obj.end() || !s->is_object())
        return nullptr;
    auto v = s->find(key);
    return v == s->end() ? nullptr : &*v;
}

std::optional<std::string> cached_output(const Cache& cache, const std::string& program,
                                         const std::vector<std::string>& args) {
    const Config::JSON::Value* v = member(cache.value, "command", command_key(program, args));
    if (v && v->is_string())
        return v->get<std::string>();
    return std::nullopt;
}

}  // namespace

void set_command_runner(CommandRunner r) {
    runner() = r ? std::move(r) : run_directly;
}

std::string default_product_dir(std::optional<std::string> new_dir) {
    if (new_dir) {
        product_dir() = std::move(*new_dir);
        clearcache();
    }
    return product_dir();
}

std::string cache_path(const std::string& cache_name) {
    return product_dir() + "/" + GLOBAL_CACHE_SUBDIR + "/" + cache_name + ".json";
}

std::string command_key(const std::string& program, const std::vector<std::string>& args) {
    std::string key = program;
    for (const auto& a : args) {
        key += COMMAND_KEY_SEPARATOR;
        key += a;
    }
    return key;
}

std::optional<Config::JSON::Value> data(const std::string& cache_name, const std::string& key,
                                time_t min_time) {
    const Cache* cache = get(cache_name);
    if (!cache || cache->mtime <= min_time)
        return std::nullopt;
    const Config::JSON::Value* v = member(cache->value, "data", key);
    if (!v)
        return std::nullopt;
    return *v;
}

std::optional<std::string> cachedcommand(const std::string& cache_name, const std::string& program,
                                         const std::vector<std::string>& args) {
    if (const Cache* cache = get(cache_name)) {
        struct stat st;
        const int saved = errno;
        const bool newer = ::stat(program.c_str(), &st) == 0 && cache->mtime > st.st_mtime &&
                           cache->mtime > st.st_ctime;
        errno = saved;
        if (newer) {
            if (auto out = cached_output(*cache, program, args))
                return out;
        }
    }
    return runner()(program, args);
}

std::optional<std::string> cachedmcommand(const std::string& cache_name, time_t max_age,
                                          const std::string& program,
                                          const std::vector<std::string>& args) {
    if (const Cache* cache = get(cache_name); cache && ::time(nullptr) - cache->mtime <= max_age) {
        if (auto out = cached_output(*cache, program, args))
            return out;
    }
    return runner()(program, args);
}

std::optional<time_t> get_cache_mtime(const std::string& cache_name) {
    const Cache* cache = get(cache_name);
    if (!cache)
        return std::nullopt;
    return cache->mtime;
}

bool loadfile(const std::string& cache_name, const std::string& path) {
    const int saved = errno;
    auto cache = read_cache(path);
    errno = saved;
    if (!cache)
        return false;
    const bool is_object = !cache->value.empty();
    caches()[cache_name] = std::move(*cache);
    return is_object;
}

void clearcache() {
    caches().clear();
}

}  // namespace Tavrel::Run::GlobalCache
