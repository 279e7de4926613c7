#include "Tavrel/Service/Verb.h"

#include <algorithm>

namespace Tavrel::Service {

const std::vector<VerbRow>& verbs() {
    // clang-format off
    static const std::vector<VerbRow> table = {
        // verb         word       option       root   status question past tense
        {Verb::Status,  "status",  "--status",  false, false, true,  ""},
        {Verb::Check,   "check",   "--check",   false, false, true,  ""},
        {Verb::Stop,    "stop",    "--stop",    true,  false, false, "stopped"},
        {Verb::Reload,  "reload",  "--reload",  true,  true,  false, "reloaded"},
        {Verb::Restart, "restart", "--restart", true,  true,  false, "restarted"},
        {Verb::Start,   "start",   "--start",   true,  true,  false, "started"},
    };
    // clang-format on
    return table;
}

const VerbRow& row_of(Verb verb) {
    const auto& table = verbs();
    return *std::find_if(table.begin(), table.end(),
                         [verb](const VerbRow& row) { return row.verb == verb; });
}

const VerbRow* row_of_word(std::string_view word) {
    const auto& table = verbs();
    auto it = std::find_if(table.begin(), table.end(),
                           [word](const VerbRow& row) { return row.word == word; });
    return it == table.end() ? nullptr : &*it;
}

}  // namespace Tavrel::Service
