#include "Tavrel/Output/Solarize.h"

#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Output/ColorSupport.h"

#include <charconv>

namespace Tavrel::Output::Solarize {

namespace {

// Solarized name -> xterm 256-colour index, the published approximations.
const std::pair<const char*, int> SOLARIZED_256[] = {
    {"base03", 234}, {"base02", 235}, {"base01", 240}, {"base00", 241},
    {"base0", 244},  {"base1", 245},  {"base2", 254},  {"base3", 230},
    {"yellow", 136}, {"orange", 166}, {"red", 160},    {"magenta", 125},
    {"violet", 61},  {"blue", 33},    {"cyan", 37},    {"green", 64},
};

// Solarized name -> the ANSI colour it takes in the 16-colour scheme.
const std::pair<const char*, const char*> SOLARIZED_16[] = {
    {"base03", "bright_black"},   {"base02", "black"},       {"base01", "bright_green"},
    {"base00", "bright_yellow"},  {"base0", "bright_blue"},  {"base1", "bright_cyan"},
    {"base2", "white"},           {"base3", "bright_white"}, {"orange", "bright_red"},
    {"violet", "bright_magenta"},
};

// With eight colours the bright half is reached through bold (foreground only).
const std::pair<const char*, const char*> SOLARIZED_8[] = {
    {"base03", "black"}, {"base02", "black"},   {"base01", "green"}, {"base00", "yellow"},
    {"base0", "blue"},   {"base1", "cyan"},     {"base2", "white"},  {"base3", "white"},
    {"orange", "red"},   {"violet", "magenta"},
};
const char* const BOLD_IN_8[] = {"base03", "base01", "base00", "base0",
                                 "base1",  "base3",  "orange", "violet"};

const Palette* cached_palette = nullptr;
bool palette_decided = false;

const std::map<std::string, int, std::less<>>& sgr_codes() {
    static const std::map<std::string, int, std::less<>> codes = [] {
        std::map<std::string, int, std::less<>> m = {
            {"clear", 0}, {"reset", 0},   {"bold", 1},      {"dark", 2},
            {"faint", 2}, {"italic", 3},  {"underline", 4}, {"underscore", 4},
            {"blink", 5}, {"reverse", 7}, {"concealed", 8},
        };
        const char* names[] = {"black", "red",     "green", "yellow",
                               "blue",  "magenta", "cyan",  "white"};
        for (int i = 0; i < 8; ++i) {
            std::string n = names[i];
            m[n] = 30 + i;
            m["on_" + n] = 40 + i;
            m["bright_" + n] = 90 + i;
            m["on_bright_" + n] = 100 + i;
        }
        return m;
    }();
    return codes;
}

std::optional<int> number(std::string_view digits) {
    int value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

// One word as SGR parameters, or nothing when it is not a colour word.
std::optional<std::string> sgr_params(std::string_view word) {
    if (auto it = sgr_codes().find(word); it != sgr_codes().end()) {
        return std::to_string(it->second);
    }
    static const Foundation::Regex extended(
        R"(^(on_)?(?:ansi(\d{1,3})|rgb([0-5])([0-5])([0-5])|grey(\d{1,2}))$)");
    auto m = extended.match(word);
    if (!m)
        return std::nullopt;
    std::optional<int> index;
    if (m->has(2)) {
        index = number((*m)[2]);
        if (index && *index > 255)
            return std::nullopt;
    } else if (m->has(3)) {
        index = 16 + 36 * *number((*m)[3]) + 6 * *number((*m)[4]) + *number((*m)[5]);
    } else {
        auto grey = number((*m)[6]);
        if (!grey || *grey > 23)
            return std::nullopt;
        index = 232 + *grey;
    }
    return std::string(m->has(1) ? "48;5;" : "38;5;") + std::to_string(*index);
}

}  // namespace

const Palette& solarize256() {
    static const Palette palette = [] {
        Palette p;
        for (auto [name, index] : SOLARIZED_256) {
            p[name] = "ansi" + std::to_string(index);
            p[std::string("on_") + name] = "on_ansi" + std::to_string(index);
        }
        return p;
    }();
    return palette;
}

const Palette& solarize16() {
    static const Palette palette = [] {
        Palette p;
        for (auto [name, colour] : SOLARIZED_16) {
            p[name] = colour;
            p[std::string("on_") + name] = std::string("on_") + colour;
        }
        return p;
    }();
    return palette;
}

const Palette& solarize8() {
    static const Palette palette = [] {
        Palette p;
        for (auto [name, colour] : SOLARIZED_8) {
            p[name] = colour;
            p[std::string("on_") + name] = std::string("on_") + colour;
        }
        for (const char* name : BOLD_IN_8)
            p[name] = "bold " + p[name];
        return p;
    }();
    return palette;
}

const Palette* palette_for_colors(int colors) {
    if (colors >= 256)
        return &solarize256();
    if (colors >= 16)
        return &solarize16();
    if (colors > 0)
        return &solarize8();
    return nullptr;
}

const Palette* current_palette() {
    if (!palette_decided) {
        cached_palette = palette_for_colors(ColorSupport::colors_of_current_terminal());
        palette_decided = true;
    }
    return cached_palette;
}

void clear_cache() {
    cached_palette = nullptr;
    palette_decided = false;
}

std::vector<std::string> split_words(std::string_view query) {
    std::vector<std::string> words;
    std::size_t pos = 0;
    while (pos < query.size()) {
        std::size_t start = query.find_first_not_of(" \t", pos);
        if (start == std::string_view::npos)
            break;
        std::size_t end = query.find_first_of(" \t", start);
        if (end == std::string_view::npos)
            end = query.size();
        words.emplace_back(query.substr(start, end - start));
        pos = end;
    }
    return words;
}

std::vector<std::string> translate(const std::vector<std::string>& words, const Palette& palette) {
    std::vector<std::string> out;
    for (const auto& word : words) {
        auto it = palette.find(word);
        if (it == palette.end()) {
            out.push_back(word);
            continue;
        }
        for (auto& piece : split_words(it->second))
            out.push_back(std::move(piece));
    }
    return out;
}

std::string sgr(const std::vector<std::string>& words) {
    std::string params;
    for (const auto& word : words) {
        if (auto p = sgr_params(word))
            params += (params.empty() ? "" : ";") + *p;
    }
    return params.empty() ? std::string() : "\033[" + params + "m";
}

std::string wrap(std::string_view text, const std::vector<std::string>& colours,
                 const Palette& palette) {
    std::string start = sgr(translate(colours, palette));
    if (start.empty())
        return std::string(text);
    return start + std::string(text) + std::string(ANSI_RESET);
}

std::string colored(const std::vector<std::string>& colours, std::string_view text) {
    if (!ColorSupport::it_is_safe_to_colorize())
        return std::string(text);
    const Palette* palette = current_palette();
    if (!palette)
        return std::string(text);
    return wrap(text, colours, *palette);
}

std::string colored(const std::vector<std::string>& colours,
                    const std::vector<std::string>& texts) {
    std::string joined;
    for (const auto& t : texts)
        joined += t;
    return colored(colours, joined);
}

std::string colored_text(std::string_view text, const std::vector<std::string>& colours) {
    return colored(colours, text);
}

}  // namespace Tavrel::Output::Solarize
