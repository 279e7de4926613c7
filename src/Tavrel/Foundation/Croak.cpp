#include "Tavrel/Foundation/Croak.h"

#include "Tavrel/Foundation/PlainError.h"

namespace Tavrel::Foundation {

std::string position_of(const std::source_location& where) {
    std::string_view file = where.file_name();
    if (const auto slash = file.rfind('/'); slash != std::string_view::npos)
        file.remove_prefix(slash + 1);
    return std::string(file) + " line " + std::to_string(where.line());
}

void _croak(std::string_view message, std::source_location caller) {
    std::string text(message);
    // A message that ends its own sentence keeps it; the position follows.
    while (!text.empty() && (text.back() == '\n' || text.back() == '.'))
        text.pop_back();
    throw PlainError(text + " at " + position_of(caller) + ".");
}

}  // namespace Tavrel::Foundation
