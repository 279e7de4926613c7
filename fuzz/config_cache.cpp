// The main configuration's JSON cache file, as readers take it.
#include "Check.h"

#include "Tavrel/Config/TvConfGuard.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Config/JSON.h"

using Tavrel::Config::TvConfGuard;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = Fuzz::text(data, size);
    Tavrel::Foundation::Exception::StackTraceSuppressor quiet;
    Tavrel::Config::JSON::Value doc;
    try {
        doc = Tavrel::Config::JSON::Load(text);
    } catch (const Tavrel::Foundation::Exception&) {
        return 0;  // JSONParseError: the reader treats the cache as absent
    }
    auto conf = TvConfGuard::conf_from_cache(doc);
    if (!conf)
        return 0;
    FUZZ_CHECK(conf->size() == doc.size());
    // Settings read from the cache can be cached again (the text may differ
    // where the cache held numbers or null).
    (void)TvConfGuard::cache_text(*conf);
    return 0;
}
