#include "Tavrel/Config/JSON/Unicode.h"

namespace Tavrel::Config::JSON::Unicode {

namespace {

// The value of four hex digits at `p`, or -1.
long hex4(std::string_view text, size_t p) {
    if (p + 4 > text.size())
        return -1;
    long v = 0;
    for (size_t i = p; i < p + 4; ++i) {
        const char c = text[i];
        v <<= 4;
        if (c >= '0' && c <= '9') {
            v |= c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v |= c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v |= c - 'A' + 10;
        } else {
            return -1;
        }
    }
    return v;
}

void append_utf8(std::string& out, unsigned long cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool is_high(long v) {
    return v >= 0xD800 && v <= 0xDBFF;
}
bool is_low(long v) {
    return v >= 0xDC00 && v <= 0xDFFF;
}

}  // namespace

std::string replace_unicode_escapes_with_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\' || i + 1 >= text.size()) {
            out += c;
            continue;
        }
        if (text[i + 1] != 'u') {  // another escape: copy both characters
            out += c;
            out += text[++i];
            continue;
        }
        const long v = hex4(text, i + 2);
        if (is_high(v) && i + 12 <= text.size() && text[i + 6] == '\\' && text[i + 7] == 'u') {
            const long low = hex4(text, i + 8);
            if (is_low(low)) {
                append_utf8(out, 0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00));
                i += 11;
                continue;
            }
        }
        // Characters that must stay escaped inside a JSON string, lone
        // surrogates and malformed escapes are copied as they are.
        if (v < 0x20 || v == '"' || v == '\\' || is_high(v) || is_low(v)) {
            out += c;
            continue;
        }
        append_utf8(out, static_cast<unsigned long>(v));
        i += 5;
    }
    return out;
}

}  // namespace Tavrel::Config::JSON::Unicode
