// Tavrel::Config::JSON::Quiet: JSON loading that never throws and never warns.
//
//   if (auto v = Tavrel::Config::JSON::Quiet::LoadFile(path)) use(*v);
#pragma once

#include "Tavrel/Config/JSON.h"

#include <optional>
#include <string>

namespace Tavrel::Config::JSON::Quiet {

// The JSON facility is linked in, so it is always available: true.
bool LoadJSONModule();
// The decoded file, or nothing when it is missing, unreadable or not JSON.
std::optional<Value> LoadFile(const std::string& path) noexcept;

}  // namespace Tavrel::Config::JSON::Quiet
