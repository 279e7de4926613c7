// Failures about a particular running process.
#include "Tavrel/Foundation/Exception/Catalogue.h"

namespace Tavrel::Foundation {

void Exception::Catalogue::register_process() {
    add("Proc::Ended", [](Exception& e) {
        return LocaleString("The process with ID [_1] has ended.", {text(e, {"pid"})});
    });
    add("ProcessCheck::CommandMismatch", [](Exception& e) {
        return LocaleString(
            "The command line “[_2]” of the process with ID [_1] does not match the expected "
            "pattern “[_3]”.",
            {text(e, {"pid"}), text(e, {"cmdline", "command_line"}), text(e, {"pattern"})});
    });
    add("ProcessCheck::IgnoredCommand", [](Exception& e) {
        return LocaleString(
            "The process with ID [_1] has the command line “[_2]”, which never counts as the "
            "service’s process.",
            {text(e, {"pid"}), text(e, {"cmdline", "command_line"})});
    });
    add("ProcessCheck::WrongOwner", [](Exception& e) {
        return LocaleString(
            "The process with ID [_1] runs as the user ID [_3], not the expected user ID [_2].",
            {text(e, {"pid"}), text(e, {"expected_uid", "expected"}),
             text(e, {"actual_uid", "actual", "uid"})});
    });
}

}  // namespace Tavrel::Foundation
