#include "Tavrel/Config/PwUtils.h"

#include "Tavrel/Config/PwCache.h"

#include <algorithm>
#include <string>

namespace Tavrel::Config::PwUtils {

std::optional<uid_t> normalize_to_uid(std::string_view user) {
    if (user.empty())
        return std::nullopt;
    if (user.size() <= 10 &&
        std::all_of(user.begin(), user.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        unsigned long v = std::stoul(std::string(user));
        if (v <= 0xffffffffUL)
            return static_cast<uid_t>(v);
        return std::nullopt;
    }
    auto r = PwCache::getpwnam_noshadow(user);
    if (!r)
        return std::nullopt;
    return r->uid;
}

}  // namespace Tavrel::Config::PwUtils
