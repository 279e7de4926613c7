// The main configuration (key=value lines), and the JSON cache written from
// what was read: the cache must give back exactly the settings of the file,
// or not be written at all.
#include "Check.h"

#include "Tavrel/Config/LoadConfig.h"
#include "Tavrel/Config/TvConfGuard.h"
#include "Tavrel/Config/JSON.h"

#include <string>

using Tavrel::Config::TvConfGuard;

namespace {

bool trimmed(const std::string& s) {
    const char* blanks = " \t\r\n\f\v";
    return s.empty() || (s.find_first_of(blanks) != 0 && s.find_last_of(blanks) != s.size() - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = Fuzz::text(data, size);
    Tavrel::Config::TvConf conf = Tavrel::Config::LoadConfig::parse(text);
    for (const auto& [key, value] : conf) {
        FUZZ_CHECK(!key.empty());
        FUZZ_CHECK(key.front() != '#');
        FUZZ_CHECK(key.find('\n') == std::string::npos);
        FUZZ_CHECK(key.find('=') == std::string::npos);
        FUZZ_CHECK(value.find('\n') == std::string::npos);
        FUZZ_CHECK(trimmed(key) && trimmed(value));
    }
    if (auto cache = TvConfGuard::cache_text(conf)) {
        auto back = TvConfGuard::conf_from_cache(Tavrel::Config::JSON::Load(*cache));
        if (conf.empty())
            FUZZ_CHECK(!back);
        else
            FUZZ_CHECK(back && *back == conf);
    }
    return 0;
}
