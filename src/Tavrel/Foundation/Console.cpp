#include "Tavrel/Foundation/Console.h"

#include "Tavrel/Foundation/ErrnoGuard.h"
#include "Tavrel/Foundation/IO/Flush.h"

#include <unistd.h>

#include <string>
#include <utility>

namespace Tavrel::Foundation::Console {

namespace {

Sink& installed() {
    static Sink sink;
    return sink;
}

}  // namespace

void set_sink(Sink sink) {
    installed() = std::move(sink);
}

void line(std::string_view kind, std::string_view text) {
    ErrnoGuard keep;
    while (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    try {
        if (const Sink& sink = installed()) {
            sink(kind, text);
            return;
        }
    } catch (...) {
        // Shown on standard error below instead.
    }
    IO::Flush::try_write_all(STDERR_FILENO, std::string(text) + "\n");
}

}  // namespace Tavrel::Foundation::Console
