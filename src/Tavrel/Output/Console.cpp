#include "Tavrel/Output/Console.h"

#include "Tavrel/Foundation/Console.h"
#include "Tavrel/Foundation/IO/Flush.h"

#include <unistd.h>

#include <string>

namespace Tavrel::Output::Console {

void attach(const std::shared_ptr<Base>& output) {
    std::weak_ptr<Base> held = output;
    Foundation::Console::set_sink([held](std::string_view kind, std::string_view text) {
        if (auto out = held.lock()) {
            out->console_line(kind, text);
            return;
        }
        Foundation::IO::Flush::try_write_all(STDERR_FILENO, std::string(text) + "\n");
    });
}

}  // namespace Tavrel::Output::Console
