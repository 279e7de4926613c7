#include "Tavrel/Config/PwCache/Validate.h"

#include "Tavrel/Config/PwCache/Load.h"

namespace Tavrel::Config::PwCache::Validate {

bool validate(const Entry& entry) {
    if (entry.contents.name.empty())
        return false;
    if (Load::mtime_of(PASSWD_FILE) != entry.cachetime)
        return false;
    if (entry.contents.has_shadow() && Load::mtime_of(SHADOW_FILE) != entry.hcachetime)
        return false;
    return true;
}

}  // namespace Tavrel::Config::PwCache::Validate
