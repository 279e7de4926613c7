// Tavrel::Config::JSON: the JSON facility (over nlohmann::json).
//
//   Tavrel::Config::JSON::Value v = Tavrel::Config::JSON::Load(text, path);  // strict
//   Tavrel::Config::JSON::Value w = Tavrel::Config::JSON::LoadRelaxed(text);  // comments, trailing commas
//   std::string out = Tavrel::Config::JSON::canonical_dump(v);
//
// A decoding error throws Tavrel::Foundation::Exception "JSONParseError" with "error"
// (the parser's message), "path" (when known) and "text". The file loaders
// throw Tavrel::Foundation::PlainError when the file cannot be opened or is empty.
//
// Relaxed syntax accepts what people write by hand: "#", "//" and "/* */"
// comments, a trailing comma before "]" or "}", and literal tabs in strings.
//
// Strings are UTF-8 bytes in both the plain and the NoSetUTF8 forms (C++
// strings carry no "decoded" flag); the NoSetUTF8 names are kept for callers
// that say which they mean. \u escapes, surrogate pairs included, decode to
// the UTF-8 bytes of the character. Dumping a string that is not valid UTF-8
// writes U+FFFD for the bad bytes instead of failing.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Config::JSON {

using Value = nlohmann::json;  // objects keep their keys sorted

Value Load(std::string_view text, const std::string& path = "");
Value LoadRelaxed(std::string_view text, const std::string& path = "");
Value LoadNoSetUTF8(std::string_view text, const std::string& path = "");
Value LoadNoSetUTF8Relaxed(std::string_view text, const std::string& path = "");

Value LoadFile(const std::string& path);
Value LoadFile(int fd, const std::string& path = "");
Value LoadFileRelaxed(const std::string& path);
Value LoadFileNoSetUTF8(const std::string& path);
// As LoadFile; kept for callers that name it.
Value SafeLoadFile(const std::string& path);

std::string Dump(const Value& value);
std::string Dump(const nlohmann::ordered_json& value);
std::string pretty_dump(const Value& value);
std::string pretty_dump(const nlohmann::ordered_json& value);
std::string canonical_dump(const Value& value);
std::string canonical_dump(const nlohmann::ordered_json& value);
std::string pretty_canonical_dump(const Value& value);
// Compact JSON with every "/" written as "\/", safe inside an HTML script.
std::string SafeDump(const Value& value);
// Writes the compact encoding to the descriptor (full-write loop), or to the
// path opened for writing (created 0600 when missing, truncated). Throws the
// Io:: exceptions of Tavrel::Foundation::Autodie.
bool DumpFile(int fd, const Value& value);
bool DumpFile(const std::string& path, const Value& value);

inline Value true_value() {
    return Value(true);
}
inline Value false_value() {
    return Value(false);
}
inline Value copy_boolean(bool b) {
    return Value(b);
}

// true when the text starts (after white space) like a JSON document:
// "[", "{", '"' or a digit.
bool looks_like_json(std::string_view text);
// The same for the start of a descriptor's content (read with pread at
// offset 0, so the file position is not moved; false when unreadable).
bool looks_like_json_fd(int fd);

// A record's member: the value, or null when there is none (what a run never
// got to know).
template <typename T>
nlohmann::ordered_json or_null(const std::optional<T>& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json();
}

}  // namespace Tavrel::Config::JSON
