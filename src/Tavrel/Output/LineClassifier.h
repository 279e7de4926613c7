// Tavrel::Output::LineClassifier: decides whether one line of foreign text (a
// log line, a command's output) reads as an error, a warning or plain output,
// so that it can be highlighted. The test is on the line as given (no
// trimming, case-sensitive), errors first.
//
//   switch (LineClassifier::classify(line)) {
//       case LineClassifier::Kind::Error: ...
//   }
//
// Error: "error" (not as part of "log-error") or a standalone "err" followed
// by "]", white space or ":"; ": bad <word> name"; "* DIE" or "* FATAL";
// "] E ". Warning: "warn" or "warning" followed by "]", white space or ":";
// "] W ".
#pragma once

#include <string_view>

namespace Tavrel::Output::LineClassifier {

enum class Kind { Error, Warning, Plain };

Kind classify(std::string_view line);

bool is_error(std::string_view line);
bool is_warning(std::string_view line);

}  // namespace Tavrel::Output::LineClassifier
