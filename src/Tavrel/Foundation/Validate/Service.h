// Tavrel::Foundation::Validate::Service: is a text usable as a service name?
//
// Service names become file names (lock files, flag files, suspension files),
// so a valid name is a single, visible path component: 1 to MAX_LENGTH
// characters from [A-Za-z0-9_.@-], not starting with "." or "-", and never
// containing "..". Everything else (a "/", a blank, a control character, an
// empty text) is refused before any path is formed.
//
//   if (!Tavrel::Foundation::Validate::Service::is_valid(name)) ...
//   Tavrel::Foundation::Validate::Service::assert_valid(name);  // Param::Invalid naming it
#pragma once

#include <cstddef>
#include <string_view>

namespace Tavrel::Foundation::Validate::Service {

inline constexpr std::size_t MAX_LENGTH = 128;

bool is_valid(std::string_view name);
// Throws Param::Invalid ("name": "service", "value": the name) for an invalid name.
void assert_valid(std::string_view name);

}  // namespace Tavrel::Foundation::Validate::Service
