#include "Tavrel/Run/ChildErrorStringifier.h"

#include <string.h>
#include <cstring>

namespace Tavrel::Run {

ChildErrorStringifier::ChildErrorStringifier(int child_error, std::string program_name)
    : child_error_(child_error), program_(std::move(program_name)) {}

std::optional<int> ChildErrorStringifier::error_code() const {
    if (child_error_ == 0)
        return std::nullopt;
    if (status_lost())
        return -1;
    return (child_error_ >> 8) & 0xff;
}

std::string ChildErrorStringifier::error_name() const {
    auto code = error_code();
    return code && *code != 0 ? errno_name_of(*code) : std::string();
}

std::optional<int> ChildErrorStringifier::signal_code() const {
    if (child_error_ == 0)
        return std::nullopt;
    if (status_lost())
        return 0;
    return child_error_ & 127;
}

std::string ChildErrorStringifier::signal_name() const {
    auto sig = signal_code();
    return sig && *sig != 0 ? signal_name_of(*sig) : std::string();
}

std::string ChildErrorStringifier::signal_name_of(int signo) {
    const char* abbrev = ::sigabbrev_np(signo);
    return abbrev ? std::string("SIG") + abbrev : std::string();
}

std::string ChildErrorStringifier::errno_name_of(int errnum) {
    if (errnum <= 0)
        return {};
    const char* name = ::strerrorname_np(errnum);
    return name ? std::string(name) : std::string();
}

Foundation::LocaleString ChildErrorStringifier::exit_phrase() const {
    const std::string program = program_for_phrases();
    const int code = error_code().value_or(0);
    if (auto pid = pid_for_phrases(); pid && !program.empty()) {
        return Foundation::LocaleString("“[_1]” (process [_2]) exited with code [_3].", {program, *pid, code});
    }
    if (!program.empty())
        return Foundation::LocaleString("“[_1]” exited with code [_2].", {program, code});
    return Foundation::LocaleString("The process exited with code [_1].", {code});
}

Foundation::LocaleString ChildErrorStringifier::lost_phrase() const {
    const std::string program = program_for_phrases();
    if (auto pid = pid_for_phrases(); pid && !program.empty()) {
        return Foundation::LocaleString("The exit status of “[_1]” (process [_2]) was lost.", {program, *pid});
    }
    if (!program.empty())
        return Foundation::LocaleString("The exit status of “[_1]” was lost.", {program});
    return Foundation::LocaleString("The exit status of the process was lost.");
}

Foundation::LocaleString ChildErrorStringifier::signal_phrase() const {
    const std::string program = program_for_phrases();
    const int sig = signal_code().value_or(0);
    const std::string name = signal_name();
    if (auto pid = pid_for_phrases(); pid && !program.empty()) {
        return Foundation::LocaleString("“[_1]” (process [_2]) ended because of the signal [_3] ([_4]).",
                            {program, *pid, name, sig});
    }
    if (!program.empty()) {
        return Foundation::LocaleString("“[_1]” ended because of the signal [_2] ([_3]).",
                            {program, name, sig});
    }
    return Foundation::LocaleString("The process ended because of the signal [_1] ([_2]).", {name, sig});
}

std::optional<std::string> ChildErrorStringifier::autopsy() const {
    if (child_error_ == 0 && extra_autopsy_phrases().empty())
        return std::nullopt;
    std::vector<Foundation::LocaleString> phrases;
    if (status_lost()) {
        phrases.push_back(lost_phrase());
    } else if (error_code().value_or(0) != 0) {
        phrases.push_back(exit_phrase());
    } else if (signal_code().value_or(0) != 0) {
        phrases.push_back(signal_phrase());
    }
    if (dumped_core())
        phrases.emplace_back("The process dumped core.");
    for (auto& extra : extra_autopsy_phrases())
        phrases.push_back(std::move(extra));
    std::string text;
    for (const auto& phrase : phrases) {
        if (!text.empty())
            text += AUTOPSY_SEPARATOR;
        text += phrase.to_string();
    }
    return text;
}

std::string ChildErrorStringifier::terse_autopsy() const {
    std::string text;
    if (status_lost()) {
        text = "status lost";
    } else if (const int sig = signal_code().value_or(0); sig != 0) {
        text = signal_name() + " (" + std::to_string(sig) + ")";
    } else if (const int code = error_code().value_or(0); code != 0) {
        text = "exit code " + std::to_string(code);
    } else {
        text = "success";
    }
    if (dumped_core())
        text += " (core dumped)";
    return text;
}

const ChildErrorStringifier& ChildErrorStringifier::die_if_error() const {
    if (auto e = to_exception())
        throw *e;
    return *this;
}

std::optional<Foundation::Exception> ChildErrorStringifier::to_exception() const {
    if (status_lost()) {
        return Foundation::Exception::create("Child::ExitedNonZero", lost_phrase().phrase(),
                                 lost_phrase().args(),
                                 {{"program", program_}, {"exit_code", -1}});
    }
    if (const int sig = signal_code().value_or(0); sig != 0) {
        return Foundation::Exception::create(
            "Child::Signalled", signal_phrase().phrase(), signal_phrase().args(),
            {{"program", program_}, {"signal", sig}, {"signal_name", signal_name()}});
    }
    if (const int code = error_code().value_or(0); code != 0) {
        return Foundation::Exception::create("Child::ExitedNonZero", exit_phrase().phrase(),
                                 exit_phrase().args(),
                                 {{"program", program_}, {"exit_code", code}});
    }
    return std::nullopt;
}

}  // namespace Tavrel::Run
