#include "Tavrel/Service/Verb.h"

#include "Tavrel/Cli/Driver.h"

#include <algorithm>

namespace Tavrel::ServiceManager {

const std::vector<VerbRow>& verbs() {
    // clang-format off
    static const std::vector<VerbRow> table = {
        // verb         word       option       handler            root   status question past tense
        {Verb::Status,  "status",  "--status",  Driver::status,    false, false, true,  ""},
        {Verb::Check,   "check",   "--check",   Driver::check,     false, false, true,  ""},
        {Verb::Stop,    "stop",    "--stop",    Driver::stop,      true,  false, false, "stopped"},
        {Verb::Reload,  "reload",  "--reload",  Driver::reload,    true,  true,  false, "reloaded"},
        {Verb::Restart, "restart", "--restart", Driver::restart,   true,  true,  false, "restarted"},
        {Verb::Start,   "start",   "--start",   Driver::restart,   true,  true,  false, "started"},
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

}  // namespace Tavrel::ServiceManager
