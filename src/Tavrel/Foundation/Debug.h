// Tavrel::Foundation::Debug: module-level shortcuts to one shared logger, for infrastructure
// code that has no logger of its own. Each keeps the caller's errno unchanged
// and returns the logger's write status (true when every write succeeded).
//
//   Tavrel::Foundation::Debug::log_warn("Could not read " + path + ": " + reason);
//   Tavrel::Foundation::Debug::log_debug("cache hit for " + key);   // only at debug level > 0
#pragma once

#include <memory>
#include <optional>
#include <source_location>
#include <string_view>

namespace Tavrel::Foundation {
class Logger;
}

namespace Tavrel::Foundation::Debug {

// Returns the debug level (default 0), setting it first when a value is given.
int debug_level(std::optional<int> new_level = std::nullopt);

// The shared default Tavrel::Foundation::Logger the shortcuts write through.
std::shared_ptr<Logger> logger();

bool log_error(std::string_view message);
bool log_warn(std::string_view message);
// A warning without a back-trace, whatever the logger's setting.
bool log_warn_no_backtrace(std::string_view message);
bool log_invalid(std::string_view message);
bool log_deprecated(std::string_view message);
bool log_info(std::string_view message);
// Written only when `force` or the debug level is above 0.
bool log_debug(std::string_view message, bool force = false,
               std::source_location where = std::source_location::current());
// Log, then throw a Tavrel::Foundation::PlainError naming the level, pid and message.
[[noreturn]] void log_panic(std::string_view message);
[[noreturn]] void log_die(std::string_view message);

}  // namespace Tavrel::Foundation::Debug
