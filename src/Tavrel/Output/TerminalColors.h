// Tavrel::Output::TerminalColors: the only place the terminal output object
// asks about colour. Whether colour may be used and how a colour name becomes
// escape sequences is decided here, so the output objects never deal with
// terminals themselves.
//
//   if (TerminalColors::wants_colour(fd))
//       line = TerminalColors::colorize(text, "bold red");
//
// Colour descriptions are one or more words separated by single spaces.
// Each word is one of:
//   - an attribute: "bold", "underline";
//   - a Solarized palette name: "base03", "base02", "base01", "base00",
//     "base0", "base1", "base2", "base3", "yellow", "orange", "red",
//     "magenta", "violet", "blue", "cyan", "green";
//   - any of those palette names prefixed with "on_" for the background.
// The output objects use these descriptions (see Tavrel/Output/Terminal.h):
//   error          "bold red"
//   warning        "yellow"
//   success        "green"
//   message-set header  "bold blue"
//   remote-source out/debug lines  "magenta"
//   parent-context prefix  "base01"
// A word the implementation does not know is passed through to the escape
// translation unchanged, or dropped when it cannot be translated; an unknown
// word never raises.
#pragma once

#include <string>
#include <string_view>

namespace Tavrel::Output::TerminalColors {

// True when text written to `fd` may carry colour escape sequences (the
// descriptor is a terminal that can show colour, and the process is allowed to
// colour). Never throws; any doubt answers false. The answer may be cached
// for the life of the process.
bool wants_colour(int fd);

// `text` wrapped in the escape sequences of `colour_name` (see above) and
// followed by the reset sequence. An empty `colour_name`, or colour being
// unavailable, gives `text` unchanged. Never throws.
std::string colorize(std::string_view text, std::string_view colour_name);

}  // namespace Tavrel::Output::TerminalColors
