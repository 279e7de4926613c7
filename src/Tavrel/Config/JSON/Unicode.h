// Tavrel::Config::JSON::Unicode: turn \uXXXX escapes of JSON text into UTF-8 bytes.
//
//   replace_unicode_escapes_with_utf8(R"("caf\u00e9 \ud83d\ude00")")
//     -> "café 😀" (as UTF-8 bytes, still valid JSON)
//
// A surrogate pair becomes the one character it encodes. Escapes whose
// character may not appear raw in a JSON string (control characters, the
// quote and the backslash) and lone surrogates are left escaped, and an
// escaped backslash ("\\u0041") is not mistaken for an escape, so the result
// always decodes to the same value as the input.
#pragma once

#include <string>
#include <string_view>

namespace Tavrel::Config::JSON::Unicode {

std::string replace_unicode_escapes_with_utf8(std::string_view text);

}  // namespace Tavrel::Config::JSON::Unicode
