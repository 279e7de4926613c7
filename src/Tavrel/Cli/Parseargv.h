// Tavrel::Cli::parse_options: the command-line options of a service
// run, read once into one value. Nothing else reads the command line: every
// option, however it is spelled or abbreviated, has its effect here or none.
//
//   ParsedArgv p = parse_options({"--verb", "--stop", "crond"});
//   // p.verb == Verb::Stop, p.verbose == 1, p.words == {"crond"}
//
// Options (on/off ones also take a negated form --no-x or --nox):
//   --status  --check  --verbose (--no-verbose)  --debug (--no-debug)
//   --stop  --reload  --restart / --start  --graceful
//   --restart-attempt=N  --force (-f)  --html  --json  --skip-if-absent
//   --systemd-service=UNIT  --systemd-unit-command  --ignore-systemd
//   --no-fpm-status  --list  --format=table|prometheus  --history
//   --limit=N  --since=TIME  --dry-run  --help (-h)
// A unique abbreviation stands for its option (--he is --help). One that
// fits several options (--h: --help or --html), an unknown option, a missing
// value or a value on a flag is refused with a PlainError naming it, so a
// slip of the keyboard never turns into the default action, a restart. The
// one exception: --word (lower-case letters, whole) where `word` is a custom
// action a service class offers goes to `custom_options`.
//
// The verbs' options and bare words come from the verb table
// (Tavrel/Service/Verb.h). The words that are not options stay, in
// order, in `words`; a verb's bare word among them (start, restart, stop,
// status, check, reload) also counts as its option, after every option given
// (`zidavoveva_crond --stop status` asks for the status). `implied` adds what
// the program's name and caller mean: a verbosity before any option, and
// --stop after everything, and whether init started the run.
//
// After parsing one verb remains: --check before --status before the last of
// stop, reload, restart and start (a later --restart or --start, and the
// negated --no-stop and --no-reload, which ask for a restart, override an
// earlier --check or --status). With a question no graceful flag or attempt
// number remains; --no-restart alone means status.
#pragma once

#include "Tavrel/Init/RunOptions.h"
#include "Tavrel/Service/Verb.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Cli {

inline std::string CHECKMODE_HEADER_ENV = "ZIDAVOVEVA_CHECKMODE_HEADER";
inline std::string CHECKMODE_HEADER = "zidavoveva service check";

struct ParsedArgv {
    // What the run does to the service.
    Tavrel::Service::Verb verb = Tavrel::Service::Verb::Restart;
    int verbose = 0;  // 0, 1 or 2
    // As given; the driver uses it only when it is a number.
    std::optional<std::string> restart_attempt;
    std::optional<bool> graceful;
    // --json: one JSON record per message (the base output object).
    bool json = false;
    // --html (or a bare word html): HTML instead of terminal text.
    bool html = false;
    // A check whose header is due (ZIDAVOVEVA_CHECKMODE_HEADER set to a true value).
    bool checkmode_header = false;
    // --help: the usage text, and nothing else.
    bool help = false;
    // --list: every service this server knows and its state, and nothing else.
    bool list = false;
    // --format=FORMAT of the listing, as given: "table" (the default) or
    // "prometheus"; the driver refuses any other, and any without --list.
    std::optional<std::string> format;
    // --history: the last runs that acted on services, and nothing else;
    // --limit=N and --since=TIME choose which, as given (the driver checks
    // them, and refuses them without --history).
    bool history = false;
    std::optional<std::string> limit;
    std::optional<std::string> since;
    // --force: start even while a base installation runs.
    bool force = false;
    // --skip-if-absent: a service that is not installed or not configured is success.
    bool skip_if_absent = false;
    // false with --no-fpm-status: no PHP-FPM status after a restart.
    bool fpm_status = true;
    // --systemd-service=UNIT: the unit whose stop command this run is (empty: none).
    std::string systemd_service;
    // What the service object is given: --systemd-unit-command (the run is a
    // systemd unit's own start or stop command), --ignore-systemd (the status
    // check finds the processes without asking systemd), and whether init
    // started the run.
    Init::RunOptions run;
    // The words that are not options, in command-line order.
    std::vector<std::string> words;
    // Custom actions asked for as options (--flush), without the dashes, in
    // order; the service's class must offer them (Implied::custom_action).
    std::vector<std::string> custom_options;

    bool operator==(const ParsedArgv&) const = default;
};

// What the program's name and its caller add to the command line.
struct Implied {
    int verbose = 0;    // before any option: 1 for a run started from a shell
    bool stop = false;  // started as stop<word>: --stop after everything else
    bool started_by_init = false;  // the run's parent is process 1
    // Whether some service class offers `word` as a custom action: then
    // --word, which is no option of the parser, asks for it as the bare word
    // does. Unset: every unknown option is refused.
    std::function<bool(std::string_view word)> custom_action{};
};

ParsedArgv parse_options(const std::vector<std::string>& args, const Implied& implied = {});

// A bare word that stands for a verb's option: start, restart, stop, status,
// check, reload.
bool is_action_word(std::string_view word);
// Those words, in the verb table's order, joined with ", ".
std::string action_words();
// The bare word that asks for HTML, as --html does.
inline constexpr std::string_view HTML_WORD = "html";

// Every long option the parser knows, without the leading "--".
std::vector<std::string> option_names();
// Whether the long option `name` takes a value (--name=VALUE).
bool option_takes_value(std::string_view name);

}  // namespace Tavrel::Cli
