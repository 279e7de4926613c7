// Forced into every file of the fuzz build. clang 14 lacks the built-in that
// libstdc++ 12's std::source_location is made of, so that header declares
// nothing there; this stand-in, made of the older built-ins clang does have,
// gives the same file, line and function of the caller. Not used by the
// main (g++) build.
#pragma once

#include <cstdint>
#include <source_location>

#if defined(__clang__) && !defined(__cpp_lib_source_location)
namespace std {
struct source_location {
    static constexpr source_location current(const char* file = __builtin_FILE(),
                                             const char* function = __builtin_FUNCTION(),
                                             uint_least32_t line = __builtin_LINE(),
                                             uint_least32_t column = __builtin_COLUMN()) noexcept {
        source_location s;
        s.file_ = file;
        s.function_ = function;
        s.line_ = line;
        s.column_ = column;
        return s;
    }
    constexpr source_location() noexcept = default;
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr const char* function_name() const noexcept { return function_; }
    constexpr uint_least32_t line() const noexcept { return line_; }
    constexpr uint_least32_t column() const noexcept { return column_; }

  private:
    const char* file_ = "";
    const char* function_ = "";
    uint_least32_t line_ = 0;
    uint_least32_t column_ = 0;
};
}  // namespace std
#endif
