// Tavrel::Text::all_digits: whether a text is a non-empty run of ASCII digits
// (a pid directory name, a uid, a signal number). No sign, no spaces, no locale.
#pragma once

#include <string_view>

namespace Tavrel::Text {

inline bool all_digits(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

}  // namespace Tavrel::Text
