#include "Tavrel/ZidavovEva/Argv.h"

#include <algorithm>
#include <utility>

namespace Tavrel::ZidavovEva {

namespace {
std::vector<std::string>& store() {
    static std::vector<std::string> arguments;
    return arguments;
}
}  // namespace

const std::vector<std::string>& _get_argv() { return store(); }

void _set_argv(std::vector<std::string> arguments) { store() = std::move(arguments); }

bool argv_contains(std::string_view word) {
    const auto& args = store();
    return std::any_of(args.begin(), args.end(), [&](const std::string& a) { return a == word; });
}

ArgvGuard::ArgvGuard(std::vector<std::string> arguments) : saved_(std::move(store())) {
    store() = std::move(arguments);
}

ArgvGuard::~ArgvGuard() { store() = std::move(saved_); }

}  // namespace Tavrel::ZidavovEva
