#include "Tavrel/Run/Env.h"

#include <cstdlib>
#include <set>

extern char** environ;

namespace Tavrel::Run::Env {

std::vector<std::string> safe_env_var_names() {
    std::vector<std::string> names;
    std::string_view rest = SAFE_ENV_VARS;
    while (!rest.empty()) {
        std::size_t space = rest.find(' ');
        std::string_view name = rest.substr(0, space);
        if (!name.empty())
            names.emplace_back(name);
        if (space == std::string_view::npos)
            break;
        rest.remove_prefix(space + 1);
    }
    return names;
}

void clean_env(const CleanOptions& options) {
    std::vector<std::string> safe_names = safe_env_var_names();
    std::set<std::string, std::less<>> safe(safe_names.begin(), safe_names.end());
    if (options.keep)
        safe.insert(options.keep->begin(), options.keep->end());
    if (options.remove) {
        for (const auto& name : *options.remove)
            safe.erase(name);
    }
    // Collect first: unsetenv rearranges environ while it is being read.
    std::vector<std::string> doomed;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view var(*entry);
        std::string_view name = var.substr(0, var.find('='));
        if (!safe.contains(name))
            doomed.emplace_back(name);
    }
    for (const auto& name : doomed)
        ::unsetenv(name.c_str());
    if (options.http_purge) {
        for (auto name : HTTP_PURGE_VARS)
            ::unsetenv(std::string(name).c_str());
    }
}

std::string_view get_safe_env_vars() {
    return SAFE_ENV_VARS;
}

std::string_view get_safe_path() {
    return SAFE_PATH;
}

std::string set_safe_path() {
    std::string path(SAFE_PATH);
    ::setenv("PATH", path.c_str(), 1);
    return path;
}

}  // namespace Tavrel::Run::Env
