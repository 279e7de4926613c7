#include "Tavrel/Output/Formatted/HTML.h"

#include <array>
#include <utility>

namespace Tavrel::Output {

namespace {

// The Solarized palette, the names colour descriptions use.
constexpr std::array<std::pair<std::string_view, std::string_view>, 16> PALETTE{{
    {"base03", "#002b36"},
    {"base02", "#073642"},
    {"base01", "#586e75"},
    {"base00", "#657b83"},
    {"base0", "#839496"},
    {"base1", "#93a1a1"},
    {"base2", "#eee8d5"},
    {"base3", "#fdf6e3"},
    {"yellow", "#b58900"},
    {"orange", "#cb4b16"},
    {"red", "#dc322f"},
    {"magenta", "#d33682"},
    {"violet", "#6c71c4"},
    {"blue", "#268bd2"},
    {"cyan", "#2aa198"},
    {"green", "#859900"},
}};

std::string_view palette_value(std::string_view name) {
    for (const auto& [key, value] : PALETTE)
        if (key == name)
            return value;
    return {};
}

std::string style_of_word(std::string_view word) {
    if (word == "bold")
        return "font-weight:bold";
    if (word == "underline")
        return "text-decoration:underline";
    if (word.starts_with("on_")) {
        std::string_view value = palette_value(word.substr(3));
        return value.empty() ? "" : "background-color:" + std::string(value);
    }
    std::string_view value = palette_value(word);
    return value.empty() ? "" : "color:" + std::string(value);
}

}  // namespace

std::string Formatted::HTML::escape(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&#39;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string Formatted::HTML::style_for(std::string_view colour) {
    std::string style;
    std::size_t pos = 0;
    while (pos < colour.size()) {
        std::size_t space = colour.find(' ', pos);
        if (space == std::string_view::npos)
            space = colour.size();
        std::string part = style_of_word(colour.substr(pos, space - pos));
        if (!part.empty())
            style += (style.empty() ? "" : ";") + part;
        pos = space + 1;
    }
    return style;
}

std::string Formatted::HTML::_format_text(std::string_view colour, std::string_view text) const {
    std::string escaped = escape(text);
    std::string style = style_for(colour);
    if (style.empty() || escaped.empty())
        return escaped;
    return "<span style=\"" + style + "\">" + escaped + "</span>";
}

}  // namespace Tavrel::Output
