// Provisional: writes to standard error until the shared logger exists.
#include "Tavrel/Debug.h"

#include "Tavrel/PlainError.h"

#include <cerrno>
#include <cstdio>
#include <string>

namespace Tavrel::Debug {

namespace {
int level = 0;
bool emit(const char* tag, std::string_view message) {
    int saved = errno;
    std::fprintf(stderr, "[%s] %.*s\n", tag, static_cast<int>(message.size()), message.data());
    errno = saved;
    return true;
}
}  // namespace

int debug_level(std::optional<int> new_level) {
    if (new_level) level = *new_level;
    return level;
}

bool log_error(std::string_view m) { return emit("error", m); }
bool log_warn(std::string_view m) { return emit("warn", m); }
bool log_warn_no_backtrace(std::string_view m) { return emit("warn", m); }
bool log_invalid(std::string_view m) { return emit("invalid", m); }
bool log_deprecated(std::string_view m) { return emit("deprecated", m); }
bool log_info(std::string_view m) { return emit("info", m); }
bool log_debug(std::string_view m, bool force) { return force || level > 0 ? emit("debug", m) : true; }
void log_panic(std::string_view m) {
    emit("panic", m);
    throw PlainError("panic: " + std::string(m));
}
void log_die(std::string_view m) {
    emit("die", m);
    throw PlainError("die: " + std::string(m));
}

}  // namespace Tavrel::Debug
