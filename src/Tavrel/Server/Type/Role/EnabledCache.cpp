#include "Tavrel/Server/Type/Role/EnabledCache.h"

#include "Tavrel/Foundation/PlainError.h"

#include <map>

namespace Tavrel::Server::Type {

namespace {
std::map<std::string, int, std::less<>>& cache() {
    static std::map<std::string, int, std::less<>> c;
    return c;
}
}  // namespace

int Role::EnabledCache::set(std::string_view class_name, int value) {
    if (value != 0 && value != 1) {
        throw Foundation::PlainError("A role's enabled answer must be 0 or 1, not " + std::to_string(value) +
                         " (" + std::string(class_name) + ")");
    }
    cache()[std::string(class_name)] = value;
    return value;
}

std::optional<int> Role::EnabledCache::get(std::string_view class_name) {
    auto it = cache().find(class_name);
    if (it == cache().end())
        return std::nullopt;
    return it->second;
}

void Role::EnabledCache::unset(std::string_view class_name) {
    auto it = cache().find(class_name);
    if (it != cache().end())
        cache().erase(it);
}

void Role::EnabledCache::_unset_all() {
    cache().clear();
}

}  // namespace Tavrel::Server::Type
