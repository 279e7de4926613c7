// Tavrel::Foundation::Text: small helpers for command lines and paths shown in messages.
//
//   join_words({"/usr/sbin/food", "-f"}) == "/usr/sbin/food -f"
//   last_path_part("/usr/sbin/food")     == "food"
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Foundation::Text {

// The words separated by single spaces.
inline std::string join_words(const std::vector<std::string>& words) {
    std::string line;
    for (const auto& word : words)
        line += (line.empty() ? "" : " ") + word;
    return line;
}

// What follows the last '/' of a path; the path itself when it has none.
inline std::string last_path_part(std::string_view path) {
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace Tavrel::Foundation::Text
