// Tavrel::Config::PwCache::Validate: whether a cached entry still matches the
// account files (their modification times are those it was read at).
#pragma once

#include "Tavrel/Config/PwCache.h"

namespace Tavrel::Config::PwCache::Validate {

bool validate(const Entry& entry);

}  // namespace Tavrel::Config::PwCache::Validate
