#include "Tavrel/Cli/History/Caller.h"

#include "Tavrel/Cli/InvocationLog.h"
#include "Tavrel/Config/PwCache.h"
#include "Tavrel/Foundation/Text/Digits.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Process/Proc/Lineage.h"

#include <unistd.h>

#include <vector>

extern char** environ;

namespace Tavrel::Cli::History::Caller {

namespace {

std::optional<std::string> first_word_of(std::string_view value) {
    const auto end = value.find(' ');
    value = value.substr(0, end);
    if (value.empty())
        return std::nullopt;
    return std::string(value);
}

// The process's own environment as one block, as /proc would give it.
std::string own_environment() {
    std::string block;
    for (char** e = environ; e && *e; ++e) {
        block += *e;
        block += '\0';
    }
    return block;
}

std::optional<std::string> ssh_client() {
    if (auto own = ssh_client_in(own_environment()))
        return own;
    const std::vector<pid_t> lineage = Process::Proc::Lineage::pids();
    for (std::size_t i = 1; i < lineage.size(); ++i) {
        const auto block = Foundation::ProcFs::path(Foundation::ProcFs::PROC_PATH + "/" +
                                                    std::to_string(lineage[i]) + "/environ");
        if (block)
            if (auto found = ssh_client_in(*block))
                return found;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> ssh_client_in(std::string_view environment) {
    std::optional<std::string> client;
    std::size_t at = 0;
    while (at < environment.size()) {
        auto end = environment.find('\0', at);
        if (end == std::string_view::npos)
            end = environment.size();
        const std::string_view entry = environment.substr(at, end - at);
        at = end + 1;
        // SSH_CONNECTION is the newer and whole one; it wins over SSH_CLIENT.
        if (entry.starts_with("SSH_CONNECTION="))
            return first_word_of(entry.substr(15));
        if (entry.starts_with("SSH_CLIENT=") && !client)
            client = first_word_of(entry.substr(11));
    }
    return client;
}

std::optional<uid_t> login_uid_in(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.remove_suffix(1);
    const auto value = Foundation::Text::digits_value(text, NO_LOGIN_UID - 1);
    if (!value)
        return std::nullopt;
    return static_cast<uid_t>(*value);
}

Who of_this_run() {
    Who who;
    who.uid = ::getuid();
    if (auto text = Foundation::ProcFs::path(Foundation::ProcFs::PROC_PATH + "/self/loginuid"))
        who.login_uid = login_uid_in(*text);
    if (who.login_uid)
        who.login_user = Config::PwCache::getpwuid_name(*who.login_uid);
    who.ssh_client = ssh_client();
    who.parent_pid = ::getppid();
    who.parent = InvocationLog::parent_command_line(who.parent_pid);
    return who;
}

}  // namespace Tavrel::Cli::History::Caller
