// The product's global cache files ({"data": {...}, "command": {...}}), read
// through the public loader from a real file, then asked for facts and
// command output as callers do.
#include "Check.h"

#include "Tavrel/Run/GlobalCache.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace GC = Tavrel::Run::GlobalCache;

namespace {

const std::string& scratch_file() {
    static const std::string path = [] {
        const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string p = std::string(dir) + "/fuzz-globalcache-" + std::to_string(::getpid()) +
                        ".json";
        std::atexit([] { ::unlink(scratch_file().c_str()); });
        return p;
    }();
    return path;
}

void write_file(const std::string& path, std::string_view text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        FUZZ_CHECK(n > 0);
        text.remove_prefix(static_cast<size_t>(n));
    }
    ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool once = [] {
        // Nothing is ever run: a cache miss answers with a marker.
        GC::set_command_runner([](const std::string&, const std::vector<std::string>&) {
            return std::optional<std::string>("ran");
        });
        GC::default_product_dir("/nonexistent-product-dir-for-fuzzing");
        return true;
    }();
    (void)once;
    write_file(scratch_file(), Fuzz::text(data, size));
    GC::clearcache();
    bool object = GC::loadfile("fuzz", scratch_file());
    for (const char* key : {"is_remote", "version", "", "data"}) {
        auto v = GC::data("fuzz", key);
        if (!object)
            FUZZ_CHECK(!v);
    }
    // /bin/sh is older than the cache just written, so cached output counts.
    auto out = GC::cachedcommand("fuzz", "/bin/sh", {"-c", "uname"});
    FUZZ_CHECK(out);
    auto out2 = GC::cachedmcommand("fuzz", 3600, "/bin/sh");
    FUZZ_CHECK(out2);
    (void)GC::get_cache_mtime("fuzz");
    return 0;
}
