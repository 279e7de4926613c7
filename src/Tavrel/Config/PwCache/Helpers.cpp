#include "Tavrel/Config/PwCache/Helpers.h"

#include <unordered_map>

namespace Tavrel::Config::PwCache::Helpers {

namespace {

struct State {
    Tied* tied = nullptr;
    bool skip_uid_cache = false;
    std::unordered_map<std::string, Entry> memory;
};

State& state() {
    static State s;
    return s;
}

}  // namespace

void init(Tied* map, bool skip_uid_cache) {
    state().tied = map;
    state().skip_uid_cache = skip_uid_cache;
}
bool istied() {
    return state().tied != nullptr;
}
Tied* tiedto() {
    return state().tied;
}
void deinit() {
    state().tied = nullptr;
    state().skip_uid_cache = false;
}

std::optional<Entry> memory_get(const std::string& key) {
    auto it = state().memory.find(key);
    if (it == state().memory.end())
        return std::nullopt;
    return it->second;
}

void memory_put(const std::string& key, const Entry& entry) {
    state().memory[key] = entry;
}

void cache_pwdata(const std::string& key, const Entry& entry) {
    memory_put(key, entry);
    if (!state().tied)
        return;
    auto parts = split_key(key);
    if (parts && parts->first == UID_FIELD && state().skip_uid_cache)
        return;
    state().tied->STORE(key, entry);
}

void clear_memory() {
    state().memory.clear();
}

}  // namespace Tavrel::Config::PwCache::Helpers
