// Tavrel::Foundation::Text::printable: a text from outside (another process's command
// line, the first line of a pid file) made safe to show on a terminal or to
// write into a log line. Control characters (and DEL) become \xNN, so an
// escape sequence cannot move the cursor, retitle the terminal or forge a
// line of its own; the rest is kept byte for byte.
//
//   out << Tavrel::Foundation::Text::printable(command_line);
#pragma once

#include <string>
#include <string_view>

namespace Tavrel::Foundation::Text {

inline std::string printable(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xf];
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace Tavrel::Foundation::Text
