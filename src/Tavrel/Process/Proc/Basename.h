// Tavrel::Process::Proc::Basename: the program name of one command-line word.
//
//   getbasename("/usr/sbin/exim -bd") == "exim"
//   getbasename("perl")               == "perl"
//   getbasename("")                   == ""
#pragma once

#include <string>
#include <string_view>

namespace Tavrel::Process::Proc::Basename {

// The word cut at its first whitespace; for an absolute path, the text after
// its last '/'; otherwise the word as it is.
std::string getbasename(std::string_view word);

}  // namespace Tavrel::Process::Proc::Basename
