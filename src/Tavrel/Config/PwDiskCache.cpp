#include "Tavrel/Config/PwDiskCache.h"

#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Foundation/File/Write.h"
#include "Tavrel/Config/PwCache/Load.h"
#include "Tavrel/Config/PwCache/Validate.h"
#include "Tavrel/Foundation/File/MakeDir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

namespace Tavrel::Config {

namespace {

// The cache directory may be used only when it is root's own private directory.
bool usable_dir(bool create) {
    struct stat st {};
    if (::lstat(PwDiskCache::CACHE_DIR.c_str(), &st) != 0) {
        if (!create || errno != ENOENT)
            return false;
        // On a fresh server the parents are missing too; every directory made
        // here is root's private one.
        if (!Foundation::File::MakeDir::safemkdir(PwDiskCache::CACHE_DIR, 0700, {.parents = true}))
            return false;
        return ::lstat(PwDiskCache::CACHE_DIR.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    return S_ISDIR(st.st_mode) && st.st_uid == 0 && (st.st_mode & 022) == 0;
}

PwDiskCache& instance() {
    static PwDiskCache cache;
    return cache;
}

}  // namespace

std::string PwDiskCache::path_of(const std::string& key) {
    return CACHE_DIR + "/" + key;
}

std::optional<std::string> PwDiskCache::twin_key(const std::string& key,
                                                 const PwCache::Entry& entry) {
    auto parts = PwCache::split_key(key);
    if (!parts)
        return std::nullopt;
    if (parts->first == PwCache::NAME_FIELD)
        return PwCache::make_key(PwCache::UID_FIELD, std::to_string(entry.contents.uid));
    return PwCache::make_key(PwCache::NAME_FIELD, entry.contents.name);
}

void PwDiskCache::STORE(const std::string& key, const PwCache::Entry& entry) {
    if (::geteuid() != 0)
        return;
    const auto& rec = entry.contents;
    if (rec.name.empty())
        return;
    if (rec.uid == 0 && rec.name != PwCache::SUPERUSER_NAME)
        return;
    // The key must name this very account, so a file never answers for another.
    if (key != PwCache::make_key(PwCache::NAME_FIELD, rec.name) &&
        key != PwCache::make_key(PwCache::UID_FIELD, std::to_string(rec.uid)))
        return;
    auto twin = twin_key(key, entry);
    if (!twin || !PwCache::split_key(*twin) || !usable_dir(true))
        return;
    nlohmann::json doc = {{"contents", PwCache::record_to_json(rec)},
                          {"cachetime", entry.cachetime},
                          {"hcachetime", entry.hcachetime},
                          {"VERSION", VERSION}};
    std::string path = path_of(key);
    std::string twin_path = path_of(*twin);
    try {
        (void)Foundation::File::Write::overwrite(path, doc.dump(), 0600);
    } catch (const std::exception&) {
        return;  // the next lookup reads the account files again
    }
    struct stat key_st {
    }, twin_st{};
    if (::lstat(path.c_str(), &key_st) != 0)
        return;
    if (::lstat(twin_path.c_str(), &twin_st) == 0 && S_ISREG(twin_st.st_mode) &&
        twin_st.st_ino == key_st.st_ino && twin_st.st_dev == key_st.st_dev && key_st.st_nlink >= 2)
        return;
    ::unlink(twin_path.c_str());
    ::link(path.c_str(), twin_path.c_str());
}

std::optional<PwCache::Entry> PwDiskCache::read_pwdisk_cache(const std::string& key) {
    if (!PwCache::split_key(key) || !usable_dir(false))
        return std::nullopt;
    Foundation::Fd::UniqueFd fd(
        ::open(path_of(key).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0)
        return std::nullopt;
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > 1 << 20)
            return std::nullopt;
    }
    auto e = entry_from_text(key, text);
    if (e)
        PwCache::Helpers::memory_put(key, *e);
    return e;
}

std::optional<PwCache::Entry> PwDiskCache::entry_from_text(const std::string& key,
                                                           std::string_view text) {
    auto parts = PwCache::split_key(key);
    if (!parts)
        return std::nullopt;
    auto doc = nlohmann::json::parse(text, nullptr, false);
    if (!doc.is_object() || !doc.contains("VERSION") || doc["VERSION"] != VERSION)
        return std::nullopt;
    if (!doc.contains("contents") || !doc["cachetime"].is_number_integer() ||
        !doc["hcachetime"].is_number_integer())
        return std::nullopt;
    auto rec = PwCache::record_from_json(doc["contents"]);
    if (!rec)
        return std::nullopt;
    PwCache::Entry e{*rec, doc["cachetime"].get<long long>(), doc["hcachetime"].get<long long>()};
    bool names_account =
        (parts->first == PwCache::NAME_FIELD && parts->second == rec->name) ||
        (parts->first == PwCache::UID_FIELD && parts->second == std::to_string(rec->uid));
    if (!names_account || !PwCache::Validate::validate(e))
        return std::nullopt;
    return e;
}

std::optional<PwCache::Entry> PwDiskCache::FETCH(const std::string& key) {
    if (auto e = PwCache::Load::load_cached(key); e && e->contents.has_shadow())
        return e;
    if (auto e = read_pwdisk_cache(key))
        return e;
    return PwCache::Load::load(key);
}

bool PwDiskCache::EXISTS(const std::string& key) {
    struct stat st {};
    return PwCache::split_key(key) && ::lstat(path_of(key).c_str(), &st) == 0;
}

void PwDiskCache::enable() {
    PwCache::Helpers::init(&instance(), true);
}
void PwDiskCache::disable() {
    PwCache::Helpers::deinit();
}

}  // namespace Tavrel::Config
