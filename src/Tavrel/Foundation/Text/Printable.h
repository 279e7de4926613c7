// Tavrel::Foundation::Text::printable: a text from outside (another process's command
// line, the first line of a pid file, a daemon's output) made safe to show on a
// terminal or to write into a log line. Control characters (and DEL) become
// \xNN, so an escape sequence cannot move the cursor, clear the screen,
// retitle the terminal, ring its bell, overwrite the line from its start (a
// carriage return) or forge a line of its own. The 8-bit control characters
// (U+0080 to U+009F, which terminals may take for escape sequences too) are
// escaped byte by byte as well, as \xc2\x9b. The rest is kept byte for byte.
//
//   out << Tavrel::Foundation::Text::printable(command_line);
//   out << Tavrel::Foundation::Text::printable(daemon_line, Tavrel::Foundation::Text::KEEP_TAB);
//
// KEEP_TAB leaves tabs alone, for lines shown on a terminal: a tab moves the
// cursor only to the next tab stop, on the same line, so it can hide or
// forge nothing, and daemons and logs align their columns with it.
#pragma once

#include <string>
#include <string_view>

namespace Tavrel::Foundation::Text {

enum TabRule { ESCAPE_TAB, KEEP_TAB };

inline std::string printable(std::string_view text, TabRule tab = ESCAPE_TAB) {
    static constexpr char hex[] = "0123456789abcdef";
    auto escape = [](std::string& out, unsigned char byte) {
        out += "\\x";
        out += hex[byte >> 4];
        out += hex[byte & 0xf];
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool control = (byte < 0x20 && !(byte == '\t' && tab == KEEP_TAB)) || byte == 0x7f;
        const bool c1 = byte == 0xc2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9f;
        if (control) {
            escape(out, byte);
        } else if (c1) {
            escape(out, byte);
            escape(out, static_cast<unsigned char>(text[++i]));
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace Tavrel::Foundation::Text
