// The terminal output objects' view of colour, answered by the terminal
// colour module: the colour-disable flag files, the safety rule and the
// terminal's colour count decide; the Solarized palettes draw.
#include "Tavrel/Output/TerminalColors.h"

#include "Tavrel/Output/Solarize.h"
#include "Tavrel/Output/ColorSupport.h"

namespace Tavrel::Output::TerminalColors {

namespace Solarize = Solarize;

bool wants_colour(int fd) {
    try {
        if (ColorSupport::color_disabled_by_flag_file() ||
            ColorSupport::color_disabled_by_environment())
            return false;
        if (!ColorSupport::it_is_safe_to_colorize())
            return false;
        if (!ColorSupport::is_terminal || !ColorSupport::is_terminal(fd))
            return false;
        return Solarize::current_palette() != nullptr;
    } catch (...) {
        return false;
    }
}

std::string colorize(std::string_view text, std::string_view colour_name) {
    if (colour_name.empty())
        return std::string(text);
    try {
        return Solarize::colored(Solarize::split_words(colour_name), text);
    } catch (...) {
        return std::string(text);
    }
}

}  // namespace Tavrel::Output::TerminalColors
