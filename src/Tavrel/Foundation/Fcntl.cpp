#include "Tavrel/Foundation/Fcntl.h"

#include "Tavrel/Foundation/PlainError.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <optional>
#include <unordered_map>

namespace Tavrel::Foundation::Fcntl {

namespace {

const std::unordered_map<std::string_view, int>& table() {
#define TAVREL_FCNTL_ENTRY(name) \
    { #name, name }
    static const std::unordered_map<std::string_view, int> t = {
        TAVREL_FCNTL_ENTRY(O_RDONLY),   TAVREL_FCNTL_ENTRY(O_WRONLY),
        TAVREL_FCNTL_ENTRY(O_RDWR),     TAVREL_FCNTL_ENTRY(O_ACCMODE),
        TAVREL_FCNTL_ENTRY(O_CREAT),    TAVREL_FCNTL_ENTRY(O_EXCL),
        TAVREL_FCNTL_ENTRY(O_TRUNC),    TAVREL_FCNTL_ENTRY(O_APPEND),
        TAVREL_FCNTL_ENTRY(O_NONBLOCK), TAVREL_FCNTL_ENTRY(O_NDELAY),
        TAVREL_FCNTL_ENTRY(O_NOCTTY),   TAVREL_FCNTL_ENTRY(O_NOFOLLOW),
        TAVREL_FCNTL_ENTRY(O_CLOEXEC),  TAVREL_FCNTL_ENTRY(O_DIRECTORY),
        TAVREL_FCNTL_ENTRY(O_SYNC),     TAVREL_FCNTL_ENTRY(O_DSYNC),
        TAVREL_FCNTL_ENTRY(O_NOATIME),  TAVREL_FCNTL_ENTRY(O_PATH),
        TAVREL_FCNTL_ENTRY(O_TMPFILE),  TAVREL_FCNTL_ENTRY(O_DIRECT),
        TAVREL_FCNTL_ENTRY(O_ASYNC),    TAVREL_FCNTL_ENTRY(O_LARGEFILE),
        TAVREL_FCNTL_ENTRY(LOCK_SH),    TAVREL_FCNTL_ENTRY(LOCK_EX),
        TAVREL_FCNTL_ENTRY(LOCK_NB),    TAVREL_FCNTL_ENTRY(LOCK_UN),
        TAVREL_FCNTL_ENTRY(F_DUPFD),    TAVREL_FCNTL_ENTRY(F_DUPFD_CLOEXEC),
        TAVREL_FCNTL_ENTRY(F_GETFD),    TAVREL_FCNTL_ENTRY(F_SETFD),
        TAVREL_FCNTL_ENTRY(F_GETFL),    TAVREL_FCNTL_ENTRY(F_SETFL),
        TAVREL_FCNTL_ENTRY(F_GETLK),    TAVREL_FCNTL_ENTRY(F_SETLK),
        TAVREL_FCNTL_ENTRY(F_SETLKW),   TAVREL_FCNTL_ENTRY(F_GETOWN),
        TAVREL_FCNTL_ENTRY(F_SETOWN),   TAVREL_FCNTL_ENTRY(F_RDLCK),
        TAVREL_FCNTL_ENTRY(F_WRLCK),    TAVREL_FCNTL_ENTRY(F_UNLCK),
        TAVREL_FCNTL_ENTRY(FD_CLOEXEC), TAVREL_FCNTL_ENTRY(SEEK_SET),
        TAVREL_FCNTL_ENTRY(SEEK_CUR),   TAVREL_FCNTL_ENTRY(SEEK_END),
    };
#undef TAVREL_FCNTL_ENTRY
    return t;
}

constexpr std::string_view PREFIXES[] = {"O_", "LOCK_", "F_", "FD_", "SEEK_"};

// The same constants by their names without the prefix ("EX", "CREAT",
// "SETFD"). A short name that more than one constant shares ("CLOEXEC": O_ and
// FD_) maps to nothing, so it is refused instead of guessed.
const std::unordered_map<std::string_view, std::optional<int>>& short_table() {
    static const auto t = [] {
        std::unordered_map<std::string_view, std::optional<int>> s;
        for (const auto& [name, value] : table()) {
            for (std::string_view prefix : PREFIXES) {
                if (name.substr(0, prefix.size()) != prefix)
                    continue;
                auto [it, fresh] = s.emplace(name.substr(prefix.size()), value);
                if (!fresh)
                    it->second.reset();
                break;
            }
        }
        return s;
    }();
    return t;
}

std::unordered_map<std::string, int>& cache() {
    static std::unordered_map<std::string, int> c;
    return c;
}

}  // namespace

int constant(std::string_view name) {
    const auto& t = table();
    if (auto it = t.find(name); it != t.end())
        return it->second;
    const auto& s = short_table();
    auto it = s.find(name);
    if (it == s.end())
        throw PlainError("Unknown file-control constant \"" + std::string(name) + "\"");
    if (!it->second) {
        throw PlainError("The file-control constant \"" + std::string(name) +
                         "\" is ambiguous; give it with its prefix");
    }
    return *it->second;
}

int or_flags(const std::vector<std::string>& names) {
    // Names are identifiers, so a comma-joined list is an unambiguous key
    // (a list with anything else in it fails before it is cached).
    std::string key;
    for (const auto& n : names) {
        key += n;
        key += ',';
    }
    auto& c = cache();
    if (auto it = c.find(key); it != c.end())
        return it->second;
    int value = 0;
    for (const auto& n : names)
        value |= constant(n);
    c.emplace(std::move(key), value);
    return value;
}

namespace detail {
std::size_t cached_lists() {
    return cache().size();
}
}  // namespace detail

}  // namespace Tavrel::Foundation::Fcntl
