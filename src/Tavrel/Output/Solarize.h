// Tavrel::Output::Solarize: colour names of the Solarized palette
// mapped onto what the terminal can show, and text wrapped in ANSI SGR escape
// sequences (ECMA-48 Select Graphic Rendition).
//
//   std::string s = Solarize::colored({"bold", "base01"}, "text");
//   std::string t = Solarize::colored_text("text", {"on_base3", "red"});
//
// The palette is chosen on first use from the colour count of $TERM: 256 or
// more colours map the Solarized names onto the xterm 256-colour cube; 16 onto
// the bright ANSI colours; fewer onto the eight base colours with bold. Words
// the palette does not map (bold, red, on_blue, ansi123...) are translated as
// they are; words nobody knows are dropped. Without safe colour (see
// Tavrel::Output::ColorSupport) or with no colours, the plain text comes back.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Output::Solarize {

inline constexpr std::string_view ANSI_RESET = "\033[0m";

using Palette = std::map<std::string, std::string, std::less<>>;
const Palette& solarize256();
const Palette& solarize16();
const Palette& solarize8();

// The palette for a colour count: nullptr for none or 0.
const Palette* palette_for_colors(int colors);
// The palette of the current terminal (decided once; clear_cache forgets it).
const Palette* current_palette();
void clear_cache();

// The words after palette lookup (one palette entry may be several words).
std::vector<std::string> translate(const std::vector<std::string>& words, const Palette& palette);
// The SGR sequence for standard colour words; "" when none of them is known.
std::string sgr(const std::vector<std::string>& words);
// Splits a description ("bold red") at spaces.
std::vector<std::string> split_words(std::string_view query);

// Texts joined, wrapped in the colours and ANSI_RESET.
std::string colored(const std::vector<std::string>& colours, std::string_view text);
std::string colored(const std::vector<std::string>& colours, const std::vector<std::string>& texts);
// The same with the text first.
std::string colored_text(std::string_view text, const std::vector<std::string>& colours);

// The wrapping itself, for a given palette (no terminal checks).
std::string wrap(std::string_view text, const std::vector<std::string>& colours,
                 const Palette& palette);

}  // namespace Tavrel::Output::Solarize
