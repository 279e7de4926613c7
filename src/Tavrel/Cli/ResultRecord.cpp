#include "Tavrel/Cli/ResultRecord.h"

#include "Tavrel/Config/JSON.h"
#include "Tavrel/Service/Verb.h"
#include "Tavrel/Cli/DryRun.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Output/Base.h"
#include "Tavrel/Output/FileHandle.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Service/Base.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace Tavrel::Cli::ResultRecord {

namespace {

// The run whose record is still due; the exit handler writes it when
// std::exit ends the run before the driver could.
Run* pending = nullptr;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The exit handler: std::exit called in the middle of a run (the skip during
// a base installation ends the process with 0 from deep inside a restart).
void finish_pending_at_exit(int status, void*) {
    if (!pending)
        return;
    if (const auto* srv = Main::get_current_service())
        pending->note_nothing_done(*srv);
    pending->finish(status);
}

}  // namespace

nlohmann::ordered_json pid_list(const std::optional<std::vector<pid_t>>& pids) {
    if (!pids)
        return nullptr;  // never looked
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (pid_t pid : *pids)
        list.push_back(static_cast<long>(pid));
    return list;
}

nlohmann::ordered_json contents(const Facts& f) {
    const bool succeeded = f.status == 0;
    const nlohmann::ordered_json pids = pid_list(f.pids);
    nlohmann::ordered_json none;
    return {
        {"service", Config::JSON::or_null(f.service)},
        {"action", Config::JSON::or_null(f.action)},
        {"succeeded", succeeded},
        {"done", succeeded && !f.nothing_done},
        {"status", f.status},
        {"running", Config::JSON::or_null(f.running)},
        {"pids", pids},
        {"failure_class", succeeded ? none : Config::JSON::or_null(f.failure_class)},
        {"error_id", succeeded ? none : Config::JSON::or_null(f.error_id)},
        {"message", succeeded ? Config::JSON::or_null(f.nothing_done) : Config::JSON::or_null(f.message)},
        {"duration_ms", f.duration_ms},
    };
}

std::vector<pid_t> pids_in_status(std::string_view status_text) {
    // Anchored at the line's end: the command shown before it is another
    // program's text and may itself read "with PID 1".
    static const Foundation::Regex status_line(R"(with PID (\d+) \([^()\n]* check\)$)", Foundation::Regex::MULTILINE);
    std::vector<pid_t> pids;
    for (const auto& m : status_line.match_all(status_text)) {
        const std::string_view digits = m[1];
        pid_t pid = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
        if (ec == std::errc() && end == digits.data() + digits.size() && pid > 0 &&
            std::find(pids.begin(), pids.end(), pid) == pids.end())
            pids.push_back(pid);
    }
    return pids;
}

bool asks_for_json(const std::vector<std::string>& args) {
    const std::vector<std::string> names = option_names();
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--")
            return false;
        if (arg.size() <= 2 || arg.rfind("--", 0) != 0 || arg.find('=') != std::string::npos)
            continue;
        const std::string name = arg.substr(2);
        if (option_takes_value(name)) {
            ++i;  // its value, whatever it reads
            continue;
        }
        if (!JSON_OPTION.starts_with(name))
            continue;
        const bool unique = std::none_of(names.begin(), names.end(), [&](const std::string& o) {
            return o != JSON_OPTION && o.starts_with(name);
        });
        if (unique)
            return true;
    }
    return false;
}

std::optional<std::string> service_word(const Main::Command& command) {
    if (!command.invocation)
        return std::nullopt;
    std::string word = command.invocation->service;
    if (command.invocation->takes_service_from_words() && command.options &&
        !command.options->words.empty())
        word = command.options->words.front();
    // The words the run refuses as no service at all.
    if (word.empty() || word == Main::GENERIC_WORD || word == Main::BASE_WORD ||
        is_action_word(word))
        return std::nullopt;
    return word;
}

std::optional<std::string> asked_action(const Main::Command& command) {
    if (!command.options)
        return std::nullopt;
    const ParsedArgv& o = *command.options;
    if (o.help)
        return std::string(HELP_ACTION);
    if (o.list)
        return std::string(LIST_ACTION);
    if (o.history)
        return std::string(HISTORY_ACTION);
    if (o.run.dry_run)
        return std::string(PLAN_ACTION);
    return std::string(Tavrel::Service::row_of(o.verb).word);
}

Run::Run(const Main::Command& command)
    : wanted_(command.options ? command.options->json : asks_for_json(command.args)),
      owner_(::getpid()),
      start_(std::chrono::steady_clock::now()) {
    facts_.service = service_word(command);
    facts_.action = asked_action(command);
    static const bool handler_set = ::on_exit(finish_pending_at_exit, nullptr) == 0;
    (void)handler_set;
    pending = this;
}

Run::~Run() {
    if (pending == this)
        pending = nullptr;
}

void Run::failed(const Foundation::Exception& e) {
    facts_.failure_class = e.class_name();
    // An unknown service is shown without an id: a mistake of the caller,
    // not an incident to look up in the logs.
    if (e.isa("Services::Unknown"))
        facts_.error_id.reset();
    else
        facts_.error_id = e.id();
    facts_.message = e.to_string_no_id();
    exception_noted_ = true;
}

void Run::failed(const std::string& message) {
    if (exception_noted_)
        return;
    facts_.message = message;
}

void Run::nothing_done(const std::string& reason) { facts_.nothing_done = reason; }

void Run::note_nothing_done(const Tavrel::Service::Base& srv) {
    if (!srv.nothing_done().empty())
        facts_.nothing_done = srv.nothing_done();
}

void Run::look_at(Tavrel::Service::Base* srv, bool also_wanted) noexcept {
    // Only a program that reads the record, or the history, pays for the look.
    if (!srv || !(wanted_ || also_wanted))
        return;
    note_nothing_done(*srv);
    try {
        // What it carried out: "START" when a restart found the service
        // down, a custom action's word; a dry run carried out its plan.
        if (facts_.action == PLAN_ACTION)
            facts_.nothing_done = facts_.nothing_done.value_or(DryRun::NOTHING_DONE);
        else if (const auto verb = srv->service_argv_action())
            facts_.action = std::string(Tavrel::Service::row_of(*verb).word);
        else if (const std::string& word = srv->custom_action_taken(); !word.empty())
            facts_.action = lower(word);
        // A status or check answered from one look; another one now could
        // see the service come up or go down since, and contradict it.
        const bool answered = facts_.action == "status" || facts_.action == "check";
        const std::string status = answered && srv->answered_look() ? *srv->answered_look()
                                                                    : srv->get_status_string();
        facts_.running = !status.empty();
        facts_.pids = pids_in_status(status);
    } catch (...) {
        facts_.running.reset();
        facts_.pids.reset();
    }
}

void Run::finish(int status) {
    // A forked child that leaves through std::exit has a copy of this object.
    if (finished_ || !wanted_ || ::getpid() != owner_)
        return;
    finished_ = true;
    if (pending == this)
        pending = nullptr;
    facts_.status = status;
    facts_.duration_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start_)
                             .count();
    // A handle of its own: at exit the shared standard-output handle may be gone.
    Output::Base::Options options;
    options.filehandle = Output::FileHandle::standard_output();
    Output::Base out(std::move(options));
    out.message(TYPE, Output::Contents(contents(facts_)));
}

}  // namespace Tavrel::Cli::ResultRecord
