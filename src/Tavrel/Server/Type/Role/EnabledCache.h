// Tavrel::Server::Type::Role::EnabledCache: the per-process answers of
// Role::is_enabled, keyed by role class name.
#pragma once

#include "Tavrel/Server/Type/Role.h"

#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Server::Type {

class Role::EnabledCache {
  public:
    // Stores and returns `value`; Tavrel::Foundation::PlainError when it is not 0 or 1.
    static int set(std::string_view class_name, int value);
    static std::optional<int> get(std::string_view class_name);
    static void unset(std::string_view class_name);
    static void _unset_all();
};

}  // namespace Tavrel::Server::Type
