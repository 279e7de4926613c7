// Tavrel::Config::PwUtils: small account helpers.
//
//   auto uid = Tavrel::Config::PwUtils::normalize_to_uid("mail");   // 8
//   auto same = Tavrel::Config::PwUtils::normalize_to_uid("8");     // 8
#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>

namespace Tavrel::Config::PwUtils {

// A uid stays a uid; an account name becomes its uid; nothing for an unknown
// name or an empty text.
std::optional<uid_t> normalize_to_uid(std::string_view user);

}  // namespace Tavrel::Config::PwUtils
