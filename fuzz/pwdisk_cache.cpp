// The account lookups' disk cache files: a record is believed only for the
// account its key names, with ids that are real ids.
#include "Check.h"

#include "Tavrel/Config/PwCache.h"
#include "Tavrel/Config/PwDiskCache.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = Fuzz::text(data, size);
    // Missing account files have the time 0, so entries stamped 0 are current.
    Tavrel::Config::PwCache::PASSWD_FILE = "/nonexistent-passwd-for-fuzzing";
    Tavrel::Config::PwCache::SHADOW_FILE = "/nonexistent-shadow-for-fuzzing";
    for (const char* key : {"0:root", "2:0", "0:mail", "2:8", "0:web.user-1", "2:1001"}) {
        auto e = Tavrel::Config::PwDiskCache::entry_from_text(key, text);
        if (!e)
            continue;
        const auto& r = e->contents;
        std::string k(key);
        if (k[0] == '0')
            FUZZ_CHECK(r.name == k.substr(2));
        else
            FUZZ_CHECK(std::to_string(r.uid) == k.substr(2));
        FUZZ_CHECK(r.uid != static_cast<uid_t>(-1) && r.gid != static_cast<gid_t>(-1));
        FUZZ_CHECK(Tavrel::Config::PwCache::record_from_json(Tavrel::Config::PwCache::record_to_json(r)) == r);
    }
    return 0;
}
