// Tavrel::Output::ColorSupport: may the tool colour its output, and how many colours can
// the terminal show? Colour is an embellishment: every doubt answers "no
// colour", nothing here throws.
//
//   if (Tavrel::Output::ColorSupport::it_is_safe_to_colorize()) ...
//   std::optional<int> n = Tavrel::Output::ColorSupport::get_max_colors_for_terminal("xterm-256color");
//
// Answers are decided once per process (clear_cache() forgets them).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Output::ColorSupport {

// Colour is only drawn by the product's own program, wherever it is
// installed (/usr/local/sbin by hand, /usr/sbin by the package): the running
// executable must have this file name. Other programs built on the library
// (tests, benchmarks) write plain text.
inline std::string OWN_PROGRAM = "zidavoveva_base";
// While either file exists, the output objects draw no colour.
inline std::vector<std::string> DISABLE_COLOR_FILES = {
    "/usr/local/tavrel/etc/nocolor",
    "/usr/local/tavrel/etc/zidavoveva.nocolor",
};
// Seconds the terminfo query may take.
inline double TERMINFO_QUERY_TIMEOUT = 5;

// Whether a descriptor is a terminal: the one answer, which the logger's
// console choice (Tavrel::Foundation::Logger::IS_TERMINAL) uses too. Tests replace
// is_terminal to force either answer.
bool is_terminal_default(int fd);
inline std::function<bool(int)> is_terminal = is_terminal_default;
// The terminfo query tool; nothing means the system's program.
inline std::optional<std::string> INFOCMP_PATH;

// Standard input is a terminal and the executable is the product's own.
bool it_is_safe_to_colorize();
// True when a colour-disable flag file exists (decided once).
bool color_disabled_by_flag_file();
// True when NO_COLOR is set and not empty, the convention users of command
// line tools know. Decided at the first call, or by note_colour_wish(),
// which the program calls before it cleans its environment for daemons.
bool color_disabled_by_environment();
void note_colour_wish();
// Nothing for an empty name; the known or cached count; else the terminfo
// database's answer, else a number in the name ("screen-16color" -> 16).
std::optional<int> get_max_colors_for_terminal(std::string_view terminal);
// The count for the terminal named by TERM; 0 when unknown.
int colors_of_current_terminal();

// The "max_colors#N" number of terminfo output, or nothing.
std::optional<int> parse_infocmp_colors(std::string_view output);
// The N of "Ncolor" in a terminal name, or nothing.
std::optional<int> colors_from_name(std::string_view terminal);

void clear_cache();

}  // namespace Tavrel::Output::ColorSupport
