// Tavrel::Foundation::Validate::FilesystemNodeName: whether a text can be the name of one
// entry in a directory (a file, not a path). Used to vet service words and
// similar names before they are joined to a directory.
//
// Invalid: empty; "." or ".."; longer than MAX_LENGTH bytes; containing "/"
// or a NUL byte.
//
//   Tavrel::Foundation::Validate::FilesystemNodeName::validate_or_die(service);  // throws Name::Invalid
//   if (!Tavrel::Foundation::Validate::FilesystemNodeName::is_valid(name)) ...
#pragma once

#include <cstddef>
#include <string_view>

namespace Tavrel::Foundation::Validate::FilesystemNodeName {

// The Linux limit on one name (NAME_MAX), in bytes.
inline constexpr std::size_t MAX_LENGTH = 255;

bool is_valid(std::string_view name);
// Throws Tavrel::Foundation::Exception "Name::Invalid" with metadata name, reason
// (empty, reserved, too_long, forbidden_character) and, for the length, limit.
void validate_or_die(std::string_view name);

}  // namespace Tavrel::Foundation::Validate::FilesystemNodeName
