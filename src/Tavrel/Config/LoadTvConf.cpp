#include "Tavrel/Config/LoadTvConf.h"

#include "Tavrel/Config/TvConfGuard.h"

namespace Tavrel::Config::LoadTvConf {

namespace {
TvConfGuard::Options reader() {
    TvConfGuard::Options o;
    o.loadtvconf = true;
    return o;
}
}  // namespace

TvConf loadtvconf() {
    TvConfGuard guard(reader());
    return guard.config_copy();
}

std::shared_ptr<const TvConf> loadtvconf_not_copy() {
    if (!TvConfGuard::memory_only && TvConfGuard::MEM_CACHE_TAVREL_CONFIG_MTIME != 0) {
        auto [cache, valid] = TvConfGuard::get_cache();
        if (valid)
            return cache;
    }
    TvConfGuard guard(reader());
    if (guard.data())
        return guard.data();
    if (guard.cache())
        return guard.cache();
    static const auto empty = std::make_shared<const TvConf>();
    return empty;
}

void clearcache() {
    TvConfGuard::MEM_CACHE.reset();
    TvConfGuard::MEM_CACHE_TAVREL_CONFIG_MTIME = 0;
}

}  // namespace Tavrel::Config::LoadTvConf
