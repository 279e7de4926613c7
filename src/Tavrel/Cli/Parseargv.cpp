#include "Tavrel/Cli/Parseargv.h"

#include "Tavrel/Foundation/PlainError.h"

#include <getopt.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

namespace Tavrel::Cli {

namespace {

using Tavrel::Service::Verb;
using Tavrel::Service::VerbRow;

// One value per meaning: glibc takes an abbreviation that fits several
// entries of one value (--no-verb, --noverb) as that meaning, and refuses
// one that fits entries of different values as ambiguous. A verb's option
// is O_VERB plus the verb.
enum Opt : int {
    O_VERBOSE = 1000,
    O_NO_VERBOSE,
    O_DEBUG,
    O_NO_DEBUG,
    O_NO_STOP,
    O_NO_RELOAD,
    O_NO_RESTART,
    O_GRACEFUL,
    O_NO_GRACEFUL,
    O_ATTEMPT,
    O_FORCE,
    O_HTML,
    O_JSON,
    O_SKIP_IF_ABSENT,
    O_SYSTEMD_SERVICE,
    O_SYSTEMD_UNIT_COMMAND,
    O_IGNORE_SYSTEMD,
    O_NO_FPM_STATUS,
    O_LIST,
    O_FORMAT,
    O_HISTORY,
    O_LIMIT,
    O_SINCE,
    O_DRY_RUN,
    O_HELP,
    O_VERB = 2000,
};

int option_of(Verb verb) { return O_VERB + static_cast<int>(verb); }

// The verbs' options first, in the table's order, then the others; a
// refusal lists the options an abbreviation fits in this order. Every on/off
// option has both negated spellings, --no-x and --nox.
const std::vector<struct option>& long_options() {
    static const std::vector<struct option> table = [] {
        std::vector<struct option> t;
        for (const VerbRow& row : Tavrel::Service::verbs())
            t.push_back({row.option.substr(2).data(), no_argument, nullptr, option_of(row.verb)});
        t.insert(t.end(), {
            {"verbose", no_argument, nullptr, O_VERBOSE},
            {"no-verbose", no_argument, nullptr, O_NO_VERBOSE},
            {"noverbose", no_argument, nullptr, O_NO_VERBOSE},
            {"debug", no_argument, nullptr, O_DEBUG},
            {"no-debug", no_argument, nullptr, O_NO_DEBUG},
            {"nodebug", no_argument, nullptr, O_NO_DEBUG},
            {"no-stop", no_argument, nullptr, O_NO_STOP},
            {"nostop", no_argument, nullptr, O_NO_STOP},
            {"no-reload", no_argument, nullptr, O_NO_RELOAD},
            {"noreload", no_argument, nullptr, O_NO_RELOAD},
            {"no-restart", no_argument, nullptr, O_NO_RESTART},
            {"norestart", no_argument, nullptr, O_NO_RESTART},
            {"graceful", no_argument, nullptr, O_GRACEFUL},
            {"no-graceful", no_argument, nullptr, O_NO_GRACEFUL},
            {"nograceful", no_argument, nullptr, O_NO_GRACEFUL},
            {"restart-attempt", required_argument, nullptr, O_ATTEMPT},
            {"force", no_argument, nullptr, O_FORCE},
            {"html", no_argument, nullptr, O_HTML},
            {"json", no_argument, nullptr, O_JSON},
            {"skip-if-absent", no_argument, nullptr, O_SKIP_IF_ABSENT},
            {"systemd-service", required_argument, nullptr, O_SYSTEMD_SERVICE},
            {"systemd-unit-command", no_argument, nullptr, O_SYSTEMD_UNIT_COMMAND},
            {"ignore-systemd", no_argument, nullptr, O_IGNORE_SYSTEMD},
            {"no-fpm-status", no_argument, nullptr, O_NO_FPM_STATUS},
            {"list", no_argument, nullptr, O_LIST},
            {"format", required_argument, nullptr, O_FORMAT},
            {"history", no_argument, nullptr, O_HISTORY},
            {"limit", required_argument, nullptr, O_LIMIT},
            {"since", required_argument, nullptr, O_SINCE},
            {"dry-run", no_argument, nullptr, O_DRY_RUN},
            {"help", no_argument, nullptr, O_HELP},
            {nullptr, 0, nullptr, 0},
        });
        return t;
    }();
    return table;
}

const char SHORT_OPTIONS[] = ":hf";

bool env_true(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

// What the options asked for so far; one verb is made of it at the end.
struct Asked {
    // The last of stop, reload, restart and start; the status after --no-restart.
    Verb last = Verb::Restart;
    bool check = false;
    bool status = false;
};

void ask_for(Verb verb, Asked& asked) {
    switch (verb) {
        case Verb::Status: asked.status = true; break;
        case Verb::Check: asked.check = true; break;
        case Verb::Stop:
        case Verb::Reload: asked.last = verb; break;
        // A restart asked for after a question is what is meant.
        case Verb::Restart:
        case Verb::Start:
            asked.last = verb;
            asked.check = asked.status = false;
            break;
    }
}

void apply(int option, const char* value, ParsedArgv& p, Asked& asked) {
    if (option >= O_VERB) {
        ask_for(static_cast<Verb>(option - O_VERB), asked);
        return;
    }
    switch (option) {
        case O_VERBOSE: p.verbose = 1; break;
        case O_NO_VERBOSE: p.verbose = 0; break;
        case O_DEBUG: p.verbose = 2; break;
        case O_NO_DEBUG: p.verbose = 0; break;
        // The negated stop and reload ask for a restart, as --restart does.
        case O_NO_STOP:
        case O_NO_RELOAD: ask_for(Verb::Restart, asked); break;
        case O_NO_RESTART: asked.last = Verb::Status; break;
        case O_GRACEFUL: p.graceful = true; break;
        case O_NO_GRACEFUL: p.graceful = false; break;
        case O_ATTEMPT: p.restart_attempt = value; break;
        case 'f':
        case O_FORCE: p.force = true; break;
        case O_HTML: p.html = true; break;
        case O_JSON: p.json = true; break;
        case O_SKIP_IF_ABSENT: p.skip_if_absent = true; break;
        case O_SYSTEMD_SERVICE: p.systemd_service = value; break;
        case O_SYSTEMD_UNIT_COMMAND: p.run.systemd_unit_command = true; break;
        case O_IGNORE_SYSTEMD: p.run.ignore_systemd = true; break;
        case O_NO_FPM_STATUS: p.fpm_status = false; break;
        case O_LIST: p.list = true; break;
        case O_FORMAT: p.format = value; break;
        case O_HISTORY: p.history = true; break;
        case O_LIMIT: p.limit = value; break;
        case O_SINCE: p.since = value; break;
        case O_DRY_RUN: p.run.dry_run = true; break;
        case 'h':
        case O_HELP: p.help = true; break;
        default: break;
    }
}

const std::string MORE = " Run with --help to see the options.";

// The refusal of a word getopt_long did not take, saying why.
Foundation::PlainError refusal(const std::string& word) {
    if (word.rfind("--", 0) != 0 || word.size() == 2)
        return Foundation::PlainError("Unknown option “" + word + "”." + MORE);
    const auto equals = word.find('=');
    const std::string name = word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    std::vector<const struct option*> fits;
    std::set<int> meanings;
    for (const struct option* o = long_options().data(); o->name != nullptr; ++o) {
        if (name == o->name) {
            fits = {o};
            meanings = {o->val};
            break;
        }
        if (std::string_view(o->name).starts_with(name)) {
            fits.push_back(o);
            meanings.insert(o->val);
        }
    }
    if (meanings.size() > 1) {
        std::string list;
        for (std::size_t i = 0; i < fits.size(); ++i)
            list += (i == 0 ? "" : i + 1 == fits.size() ? " or " : ", ") + std::string("--") + fits[i]->name;
        return Foundation::PlainError("The option “" + word + "” is ambiguous: it may be " + list +
                          ". Nothing was done; type more of it." + MORE);
    }
    if (meanings.size() == 1 && equals != std::string::npos && fits.front()->has_arg == no_argument)
        return Foundation::PlainError("The option “--" + std::string(fits.front()->name) + "” takes no value (“" +
                          word + "”)." + MORE);
    return Foundation::PlainError("Unknown option “" + word + "”." + MORE);
}

// --word, whole and in lower-case letters, that names a custom action of
// some service class. An abbreviation of it is no such option: the word
// must be the action's own.
bool is_custom_option(const std::string& word, const Implied& implied) {
    if (!implied.custom_action || word.size() <= 2 || word.rfind("--", 0) != 0)
        return false;
    const std::string name = word.substr(2);
    if (!std::all_of(name.begin(), name.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
        return false;
    return implied.custom_action(name);
}

}  // namespace

ParsedArgv parse_options(const std::vector<std::string>& args, const Implied& implied) {
    // getopt_long wants a writable argv with a program name in front; it
    // permutes the pointers, never the strings.
    std::vector<std::string> words = args;
    std::string progname = "zidavoveva";
    std::vector<char*> argv;
    argv.reserve(words.size() + 2);
    argv.push_back(progname.data());
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(argv.size()) - 1;

    ParsedArgv p;
    Asked asked;
    p.verbose = implied.verbose;
    p.run.started_by_init = implied.started_by_init;
    optind = 0;  // a full re-initialisation, so the parser can run again
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv.data(), SHORT_OPTIONS, long_options().data(), nullptr)) != -1) {
        if (c == ':')
            throw Foundation::PlainError("The option “" + std::string(argv[optind - 1]) + "” needs a value." + MORE);
        if (c == '?') {
            std::string word = argv[optind - 1] ? argv[optind - 1] : "";
            if (optopt != 0 && optopt < 256 && word.rfind("--", 0) != 0)
                word = std::string("-") + static_cast<char>(optopt);
            if (is_custom_option(word, implied)) {
                p.custom_options.push_back(word.substr(2));
                continue;
            }
            throw refusal(word);
        }
        apply(c, optarg, p, asked);
    }
    for (int i = optind; i < argc; ++i)
        p.words.emplace_back(argv[i]);

    // The bare words count after every option, as if typed last.
    for (const auto& word : p.words) {
        if (const VerbRow* row = Tavrel::Service::row_of_word(word))
            ask_for(row->verb, asked);
        else if (word == HTML_WORD)
            p.html = true;
    }
    if (implied.stop)
        ask_for(Verb::Stop, asked);

    p.verb = asked.check ? Verb::Check : asked.status ? Verb::Status : asked.last;
    if (Tavrel::Service::row_of(p.verb).question) {
        p.graceful.reset();
        p.restart_attempt.reset();
    }
    p.checkmode_header = p.verb == Verb::Check && env_true(CHECKMODE_HEADER_ENV);
    return p;
}

bool is_action_word(std::string_view word) { return Tavrel::Service::row_of_word(word) != nullptr; }

std::string action_words() {
    std::string joined;
    for (const VerbRow& row : Tavrel::Service::verbs())
        joined += (joined.empty() ? "" : ", ") + std::string(row.word);
    return joined;
}

std::vector<std::string> option_names() {
    std::vector<std::string> out;
    for (const struct option* o = long_options().data(); o->name != nullptr; ++o)
        out.emplace_back(o->name);
    return out;
}

bool option_takes_value(std::string_view name) {
    for (const struct option* o = long_options().data(); o->name != nullptr; ++o) {
        if (name == o->name)
            return o->has_arg != no_argument;
    }
    return false;
}

}  // namespace Tavrel::Cli
