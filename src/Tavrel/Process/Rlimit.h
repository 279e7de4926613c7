// Tavrel::Process::Rlimit: the resource-limit policy for processes that start daemons.
// Memory limits (RSS, AS) follow the server's memory ceiling: the configured
// `maxmem` in MiB, never below the default of Tavrel::Process::Maxmem, 0 meaning
// unlimited. Every set_rlimit call also sets CORE: to the same limit when the
// `coredump` key is true, else to 0.
//
// The setters never throw for kernel refusals: they collect one line per
// failure, log them as a single warning and return false.
#pragma once

#include "Tavrel/Process/Rlimit/Syscall.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Tavrel::Process::Rlimit {

using Syscall::INFINITE_LIMIT;

// The kernel's per-process maximum of open files (this file under
// Tavrel::Foundation::ProcFs::PROC_PATH), and the value used when it cannot be read.
inline std::string NR_OPEN_FILE = "sys/fs/nr_open";
inline std::uint64_t NR_OPEN_FALLBACK = 1048576;
inline constexpr std::uint64_t MIB = 1048576;
inline constexpr std::string_view INFINITY_WORD = "unlimited";

// Whether set_rlimit may put a ceiling on the address space. A build with the
// address sanitizer maps terabytes of shadow memory at start-up, so after any
// ceiling every later allocation of the instrumented process (the launcher
// between fork and exec) fails: such builds leave AS as it is.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool ADDRESS_SPACE_CEILING = false;
#else
inline constexpr bool ADDRESS_SPACE_CEILING = true;
#endif

// One key of the main configuration (Tavrel::Config::LoadTvConf), or nothing
// when the key is absent or the configuration cannot be read (a warning).
// config_value is what the policy asks; tests may replace it.
std::optional<std::string> read_config_key(std::string_view key);
inline std::function<std::optional<std::string>(std::string_view)> config_value = read_config_key;

struct ServerSetting {
    std::uint64_t limit_bytes;  // INFINITE_LIMIT when unlimited
    bool coredump;
};
// The memory ceiling in bytes and the core-dump switch, from the configuration.
ServerSetting get_server_setting_or_default();
// The configuration's notion of true: a value that is neither empty nor "0".
bool config_true(std::string_view value);

// Sets soft and hard of each name (default RSS and AS) to `limit` (default the
// memory ceiling), and CORE to the limit or 0 by the core-dump switch.
bool set_rlimit(std::optional<std::uint64_t> limit = std::nullopt,
                const std::vector<std::string>& names = {});
// Raises RSS and AS to at least `minimum` (both values) when either is lower.
bool set_min_rlimit(std::uint64_t minimum);
// RSS, AS and CORE -> (soft, hard).
std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> get_current_rlimits();
// Sets each entry holding exactly two values (soft, hard); other entries are
// reported and skipped.
bool restore_rlimits(const std::map<std::string, std::vector<std::uint64_t>>& limits);
bool set_rlimit_to_infinity();
// NOFILE to the kernel's maximum (and CORE, as every set_rlimit call).
bool set_open_files_to_maximum();
// The kernel's maximum of open files per process.
std::uint64_t max_open_files();

// "unlimited" for INFINITE_LIMIT, else the decimal number.
std::string limit_text(std::uint64_t value);

}  // namespace Tavrel::Process::Rlimit
