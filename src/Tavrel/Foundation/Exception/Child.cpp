// Failures of child processes and of creating them.
#include "Tavrel/Foundation/Exception/Catalogue.h"

#include <cstring>

namespace Tavrel::Foundation {

namespace {

using Catalogue = Exception::Catalogue;

std::string program(const Exception& e) {
    return Catalogue::text(e, {"program", "command"});
}

LocaleString signalled(Exception& e) {
    std::string number = Catalogue::text(e, {"signal", "signal_number"});
    const char* abbrev = nullptr;
    if (const Exception::Value* v = e.get("signal"); v && v->is_number_integer()) {
        abbrev = sigabbrev_np(v->get<int>());
    } else if (const Exception::Value* w = e.get("signal_number"); w && w->is_number_integer()) {
        abbrev = sigabbrev_np(w->get<int>());
    }
    if (abbrev) {
        return LocaleString("The subprocess “[_1]” ended because of the signal [_2] (SIG[_3]).",
                            {program(e), number, abbrev});
    }
    return LocaleString("The subprocess “[_1]” ended because of the signal [_2].",
                        {program(e), number});
}

}  // namespace

void Exception::Catalogue::register_child() {
    add("Child::Signalled", signalled);
    add("Child::ExitedNonZero", [](Exception& e) {
        return LocaleString("The subprocess “[_1]” exited with the status [_2].",
                            {program(e), text(e, {"exit_code", "error_code", "status"})});
    });
    add("Child::TimedOut", [](Exception& e) {
        return LocaleString("The subprocess “[_1]” did not finish within [_2] seconds.",
                            {program(e), text(e, {"timeout", "time_limit"})});
    });
    add("Fork::Failed",
        [](Exception& e) { return because(e, "The system failed to create a new process", {}); });
}

}  // namespace Tavrel::Foundation
