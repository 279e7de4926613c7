// Tavrel::Foundation::_croak: refuses a bad call with a plain error that
// names the caller's position, not the line that noticed the fault. A
// function that checks its arguments takes the position of its call as a
// defaulted last parameter and hands it on, so the message points at the
// code that has to change:
//
//   std::string unit_of(std::string_view word,
//                       std::source_location caller = std::source_location::current()) {
//       if (word.empty())
//           _croak("unit_of needs a service word", caller);
//       ...
//   }
//   unit_of("");   // PlainError: "unit_of needs a service word at Foo.cpp line 42."
//
// Called without a position, it names the line of its own call.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

namespace Tavrel::Foundation {

// Throws PlainError("<message> at <file> line <line>."); the file is the
// last part of its path.
[[noreturn]] void _croak(std::string_view message,
                         std::source_location caller = std::source_location::current());

// The position as _croak writes it: "Foo.cpp line 42".
std::string position_of(const std::source_location& where);

}  // namespace Tavrel::Foundation
