#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/ErrnoGuard.h"

#include "Tavrel/Foundation/Logger.h"

#include <cerrno>
#include <utility>

namespace Tavrel::Foundation::Debug {

namespace {

int level = 0;

// An entry whose back-trace starts at the shortcut's caller.
Logger::Entry entry(std::string_view message, const void* caller) {
    Logger::Entry e(message);
    e.trace_origin = caller;
    return e;
}

}  // namespace

#define TAVREL_CALLER __builtin_return_address(0)

int debug_level(std::optional<int> new_level) {
    if (new_level)
        level = *new_level;
    return level;
}

std::shared_ptr<Logger> logger() {
    return Logger::create();
}

[[gnu::noinline]] bool log_error(std::string_view m) {
    ErrnoGuard keep;
    return logger()->error(entry(m, TAVREL_CALLER));
}

[[gnu::noinline]] bool log_warn(std::string_view m) {
    ErrnoGuard keep;
    return logger()->warn(entry(m, TAVREL_CALLER));
}

bool log_warn_no_backtrace(std::string_view m) {
    ErrnoGuard keep;
    Logger::Entry e(m);
    e.backtrace = false;
    return logger()->warn(std::move(e));
}

[[gnu::noinline]] bool log_invalid(std::string_view m) {
    ErrnoGuard keep;
    return logger()->invalid(entry(m, TAVREL_CALLER));
}

[[gnu::noinline]] bool log_deprecated(std::string_view m) {
    ErrnoGuard keep;
    return logger()->deprecated(entry(m, TAVREL_CALLER));
}

bool log_info(std::string_view m) {
    ErrnoGuard keep;
    return logger()->info(m);
}

bool log_debug(std::string_view m, bool force, std::source_location where) {
    ErrnoGuard keep;
    return logger()->debug(m, force, where);
}

// The throwing shortcuts restore errno before the error leaves.
[[gnu::noinline]] void log_panic(std::string_view m) {
    ErrnoGuard keep;
    logger()->panic(entry(m, TAVREL_CALLER));
}

[[gnu::noinline]] void log_die(std::string_view m) {
    ErrnoGuard keep;
    logger()->die(entry(m, TAVREL_CALLER));
}

#undef TAVREL_CALLER

}  // namespace Tavrel::Foundation::Debug
