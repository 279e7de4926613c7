// Tavrel::Run::Env: reduce the process environment to a fixed set of safe variables
// and give it a fixed safe search path, so nothing a caller exported (library
// paths, shell options, proxies) leaks into the programs this tool starts.
//
//   Tavrel::Run::Env::clean_env({.keep = {{"NOTIFY_SOCKET"}}, .http_purge = true});
//   Tavrel::Run::Env::set_safe_path();
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Run::Env {

// Names of the variables that survive cleaning, separated by single spaces.
inline constexpr std::string_view SAFE_ENV_VARS =
    "HOME LANG LANGUAGE LC_ALL LC_CTYPE LC_MESSAGES LOGNAME PATH PWD SHELL TERM TMP TEMP "
    "TMPDIR TZ USER REMOTE_USER SERVER_SOFTWARE TAVREL_BASE_INSTALL "
    "ZIDAVOVEVA_CHECKMODE_HEADER ZIDAVOVEVA";

// Removed by http_purge even though they are safe otherwise: they tell a
// program that it runs inside a web request.
inline constexpr std::string_view HTTP_PURGE_VARS[] = {"REMOTE_USER", "SERVER_SOFTWARE"};

inline constexpr std::string_view SAFE_PATH =
    "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

struct CleanOptions {
    std::optional<std::vector<std::string>> keep =
        std::nullopt;  // kept although not in the safe list
    std::optional<std::vector<std::string>> remove =
        std::nullopt;  // removed although in the safe list
    bool http_purge = false;
};

// Deletes every environment variable outside the safe set.
void clean_env(const CleanOptions& options = {});

std::string_view get_safe_env_vars();
// The safe list as separate names.
std::vector<std::string> safe_env_var_names();
std::string_view get_safe_path();
// Sets PATH to the safe search path and returns it.
std::string set_safe_path();

}  // namespace Tavrel::Run::Env
