// Tavrel::Output::Terminal: the colour given to each kind of message by the
// formatted output objects. Values are colour descriptions as understood by
// Tavrel::Output::TerminalColors (words separated by spaces); the HTML object
// maps the same words onto styles.
#pragma once

#include <string_view>

namespace Tavrel::Output::Terminal {

inline constexpr std::string_view COLOR_ERROR = "bold red";
inline constexpr std::string_view COLOR_WARN = "yellow";
inline constexpr std::string_view COLOR_SUCCESS = "green";
// The header line of a message set.
inline constexpr std::string_view COLOR_HEADER = "bold blue";
// Plain and debug lines relayed from another host.
inline constexpr std::string_view COLOR_REMOTE = "magenta";
// The parent-context prefix in front of each line.
inline constexpr std::string_view COLOR_PARENT = "base01";

}  // namespace Tavrel::Output::Terminal
