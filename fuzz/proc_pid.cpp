// A pid given as text (a pid file's content, an argument) to the pid handle:
// only an all-digit number greater than 1 is taken; everything else is
// Param::Invalid, and a pid that names no process is Proc::Ended.
#include "Check.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Process/Proc/PID.h"
#include "Tavrel/Foundation/Text/Digits.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = Fuzz::text(data, size);
    // No process directory exists there, so an accepted pid always ends.
    Tavrel::Foundation::ProcFs::PROC_PATH = "/nonexistent-proc-for-fuzzing";
    Tavrel::Foundation::Exception::StackTraceSuppressor quiet;
    try {
        Tavrel::Process::Proc::PID pid(text);
        FUZZ_CHECK(!"a pid without a process directory was accepted");
    } catch (const Tavrel::Foundation::Exception& e) {
        std::string cls = e.class_name();
        auto value = Tavrel::Foundation::Text::digits_value(text);
        bool acceptable = value && *value > 1 && text.size() <= 9;
        if (acceptable)
            FUZZ_CHECK(cls.find("Proc::Ended") != std::string::npos);
        else
            FUZZ_CHECK(cls.find("Param::Invalid") != std::string::npos);
    }
    return 0;
}
