// Argument, module-name, node-name, system-call and time-out failures.
#include "Tavrel/Foundation/Exception/Catalogue.h"

namespace Tavrel::Foundation {

namespace {

using Catalogue = Exception::Catalogue;

// A name as it can be shown: NUL bytes and line ends made visible.
std::string printable(std::string_view name) {
    std::string out;
    for (char c : name) {
        if (c == '\0') {
            out += "\\0";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

LocaleString param_invalid(Exception& e) {
    std::string name = Catalogue::text(e, {"name", "param"});
    std::string value = Catalogue::text(e, {"value"});
    if (!name.empty() && e.has("value")) {
        return LocaleString("The value “[_1]” is not valid for the argument “[_2]”.",
                            {value, name});
    }
    if (!name.empty())
        return LocaleString("The argument “[_1]” has an invalid value.", {name});
    if (e.has("value"))
        return LocaleString("The value “[_1]” is not valid.", {value});
    return LocaleString("An argument has an invalid value.");
}

LocaleString name_invalid(Exception& e) {
    std::string name = printable(Catalogue::text(e, {"name"}));
    std::string reason = Catalogue::text(e, {"reason"});
    if (reason == "empty" || (!e.has("reason") && e.has("name") && name.empty())) {
        return LocaleString("A file-system node name cannot be empty.");
    }
    if (reason == "reserved") {
        return LocaleString("“[_1]” is reserved and cannot be a file-system node name.", {name});
    }
    if (reason == "too_long" || e.has("limit")) {
        return LocaleString("The name “[_1]” is longer than the limit of [_2] bytes.",
                            {name, Catalogue::text(e, {"limit"})});
    }
    if (reason == "forbidden_character") {
        return LocaleString(
            "The name “[_1]” contains a character that a file-system node name cannot contain "
            "(“/” or a NUL byte).",
            {name});
    }
    return LocaleString("“[_1]” is not a valid file-system node name.", {name});
}

}  // namespace

void Exception::Catalogue::register_general() {
    add("Param::Missing", [](Exception& e) {
        std::string name = text(e, {"name", "param"});
        if (name.empty())
            return LocaleString("A required argument is missing.");
        return LocaleString("The required argument “[_1]” is missing.", {name});
    });
    add("Param::Invalid", param_invalid);
    add("Module::LoadFailed", [](Exception& e) {
        return because(e, "The system failed to load the module “[_1]”",
                       {text(e, {"module", "name"})});
    });
    add("Module::InvalidName", [](Exception& e) {
        return LocaleString("“[_1]” is not a valid module name.", {text(e, {"name", "module"})});
    });
    add("Name::Invalid", name_invalid);
    add("System::CallFailed", [](Exception& e) {
        std::string name = text(e, {"name", "function"});
        if (name.empty())
            return because(e, "A system call failed", {});
        return because(e, "The system call “[_1]” failed", {name});
    });
    add("Timeout", [](Exception& e) {
        std::string timeout = text(e, {"timeout"});
        if (timeout.empty())
            return LocaleString("The wait ran out of time.");
        return LocaleString("The wait ran out of time after [_1] seconds.", {timeout});
    });
}

}  // namespace Tavrel::Foundation
