#include "Tavrel/Process/Check/Running.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Config/PwUtils.h"
#include "Tavrel/Process/ServiceCheck/IgnoredCommands.h"

namespace Tavrel::Process::Check {

namespace {

std::shared_ptr<const Foundation::Regex> checked_pattern(const Running::Pattern& pattern) {
    if (const auto* text = std::get_if<std::string>(&pattern)) {
        if (text->empty())
            throw Foundation::Exception::create("Param::Missing", {{"name", "pattern"}});
        return std::make_shared<const Foundation::Regex>(Foundation::Regex::escape(*text));
    }
    const auto& regex = std::get<std::shared_ptr<const Foundation::Regex>>(pattern);
    if (!regex)
        throw Foundation::Exception::create("Param::Invalid", {{"name", "pattern"}});
    return regex;
}

}  // namespace

Running::Running(const Options& o)
    : pid_(o.pid),
      uid_(Config::PwUtils::normalize_to_uid(o.user)),
      regex_(checked_pattern(o.pattern)),
      pattern_text_(regex_->pattern()),
      use_services_ignore_(o.use_services_ignore) {}

bool Running::check_all() {
    auto suppressor = Foundation::Exception::get_stack_trace_suppressor();
    std::string cmdline;
    for (const auto& word : pid_.cmdline()) {
        if (!cmdline.empty())
            cmdline += ' ';
        cmdline += word;
    }
    const uid_t owner = pid_.uid();
    // The command line and the owner were read by pid: they describe the
    // process first seen only if that process is still there now. A pid
    // reused in between (another start time) would lend the new process's
    // command line and account to a service that is gone.
    if (!pid_.is_running())
        throw Foundation::Exception::create("Proc::Ended", {{"pid", pid_.pid()}});
    if (!regex_->test(cmdline))
        throw Foundation::Exception::create(
            "ProcessCheck::CommandMismatch",
            {{"pid", pid_.pid()}, {"pattern", pattern_text_}, {"cmdline", cmdline}});
    if (use_services_ignore_ && ServiceCheck::IgnoredCommands::should_ignore_this_command(cmdline))
        throw Foundation::Exception::create("ProcessCheck::IgnoredCommand",
                                {{"pid", pid_.pid()}, {"cmdline", cmdline}});
    std::string expected = uid_ ? std::to_string(*uid_) : std::string();
    std::string actual = std::to_string(owner);
    if (expected != actual)
        throw Foundation::Exception::create(
            "ProcessCheck::WrongOwner",
            {{"pid", pid_.pid()}, {"expected_uid", expected}, {"actual_uid", actual}});
    return true;
}

}  // namespace Tavrel::Process::Check
