#include "Tavrel/Output/Formatted/Terminal.h"

#include "Tavrel/Output/TerminalColors.h"

#include <unistd.h>

#include <cerrno>
#include <optional>

namespace Tavrel::Output {

namespace {

// The flag files are looked at once per process (or after _clear_cache).
std::optional<bool> flag_file_disables;

bool exists(const std::string& path) {
    int saved = errno;
    bool found = ::access(path.c_str(), F_OK) == 0;
    errno = saved;
    return found;
}

}  // namespace

void Formatted::Terminal::_clear_cache() {
    flag_file_disables.reset();
}

bool Formatted::Terminal::colour_wanted() const {
    if (colour_disabled_)
        return false;
    if (!flag_file_disables)
        flag_file_disables = exists(NO_COLOR_FLAG_FILE) || exists(DISABLE_COLOR_FLAG_FILE);
    if (*flag_file_disables)
        return false;
    const int fd = filehandle()->fileno();
    return fd >= 0 && TerminalColors::wants_colour(fd);
}

std::string Formatted::Terminal::_format_text(std::string_view colour,
                                              std::string_view text) const {
    if (colour.empty() || text.empty() || !colour_wanted())
        return std::string(text);
    return TerminalColors::colorize(text, colour);
}

}  // namespace Tavrel::Output
