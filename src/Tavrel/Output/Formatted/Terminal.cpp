#include "Tavrel/Output/Formatted/Terminal.h"

#include "Tavrel/Output/TerminalColors.h"

namespace Tavrel::Output {

bool Formatted::Terminal::colour_wanted() const {
    if (colour_disabled_)
        return false;
    if (!colour_wanted_) {
        const int fd = filehandle()->fileno();
        colour_wanted_ = fd >= 0 && TerminalColors::wants_colour(fd);
    }
    return *colour_wanted_;
}

std::string Formatted::Terminal::_format_text(std::string_view colour,
                                              std::string_view text) const {
    if (colour.empty() || text.empty() || !colour_wanted())
        return std::string(text);
    return TerminalColors::colorize(text, colour);
}

}  // namespace Tavrel::Output
