// Tavrel::Config::ProductData: the tolerant loader for the product's
// serialised data files. Their format is JSON (relaxed syntax accepted).
// Nothing here throws: a missing, unreadable or damaged file gives nothing
// (noted at debug level only).
#pragma once

#include "Tavrel/Config/JSON.h"

#include <optional>
#include <string>

namespace Tavrel::Config::ProductData {

// The serialiser is linked in: true.
bool LoadModule();
std::optional<JSON::Value> LoadFile(const std::string& path) noexcept;

}  // namespace Tavrel::Config::ProductData
