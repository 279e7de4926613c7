// Tavrel::Foundation::Console: where code below the output layer sends a line
// meant for whoever reads this run (the logger's echo of a line it logs, the
// progress of ending processes). Standard output belongs to the run's output
// object: a program that reads one JSON record per line must never meet a
// line of plain text among them. So such a line goes to the sink the run
// installed (Tavrel/Output/Console.h hands it to the output object, which
// draws it as a record or as a line of its own), and to standard error while
// there is none.
//
//   Tavrel::Foundation::Console::line("info", "info [zidavoveva_httpd] httpd restarted");
#pragma once

#include <functional>
#include <string_view>

namespace Tavrel::Foundation::Console {

// `kind` says what the line is (a log level such as "info" or "debug", or
// "progress"); `text` is one line without its line end.
using Sink = std::function<void(std::string_view kind, std::string_view text)>;

// Installs the sink for the rest of the process; an empty one restores
// standard error.
void set_sink(Sink sink);
// Sends one line (a trailing line end in `text` is dropped). Never throws:
// a line that cannot be shown must not fail what it reports on. errno is kept.
void line(std::string_view kind, std::string_view text);

}  // namespace Tavrel::Foundation::Console
