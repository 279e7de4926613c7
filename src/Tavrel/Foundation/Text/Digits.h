// Tavrel::Foundation::Text::all_digits: whether a text is a non-empty run of ASCII digits
// (a pid directory name, a uid, a signal number). No sign, no spaces, no locale.
// Tavrel::Foundation::Text::digits_value: the number such a text stands for, when it is
// no larger than a bound (so it fits the type it is meant for).
//
//   if (auto pid = Tavrel::Foundation::Text::digits_value(name, INT32_MAX)) ...
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace Tavrel::Foundation::Text {

inline bool all_digits(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

inline std::optional<uint64_t> digits_value(std::string_view text, uint64_t max = UINT64_MAX) {
    if (!all_digits(text))
        return std::nullopt;
    uint64_t v = 0;
    for (char c : text) {
        auto d = static_cast<uint64_t>(c - '0');
        if (v > (max - d) / 10)
            return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

}  // namespace Tavrel::Foundation::Text
