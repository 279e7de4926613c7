// Placeholder until the terminal colour module is built: never colour.
#include "Tavrel/Output/TerminalColors.h"

namespace Tavrel::Output::TerminalColors {

bool wants_colour(int /*fd*/) {
    return false;
}

std::string colorize(std::string_view text, std::string_view /*colour_name*/) {
    return std::string(text);
}

}  // namespace Tavrel::Output::TerminalColors
