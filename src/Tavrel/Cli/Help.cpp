#include "Tavrel/Cli/Help.h"

#include "Tavrel/Service/Verb.h"

#include <initializer_list>

namespace Tavrel::Cli::Help {

namespace {

using Tavrel::Service::Verb;
using Tavrel::Service::row_of;

std::string option(Verb verb) { return std::string(row_of(verb).option); }

// One option's line: its spellings, then what it does from the 29th column on.
std::string line(const std::string& spellings, const std::string& what) {
    const std::size_t column = 26;
    std::string text = "  " + spellings;
    text += std::string(spellings.size() < column ? column - spellings.size() : 1, ' ');
    return text + what + "\n";
}

// "start, restart and stop": the verbs' bare words, in the order given.
std::string words(std::initializer_list<Verb> verbs) {
    std::string list;
    std::size_t i = 0;
    for (Verb verb : verbs) {
        if (i > 0)
            list += i + 1 == verbs.size() ? " and " : ", ";
        list += row_of(verb).word;
        ++i;
    }
    return list;
}

}  // namespace

std::string text(const std::string& service) {
    const std::string s = service.empty() ? "SERVICE" : service;
    const std::string named = service.empty() ? "zidavoveva_service SERVICE" : "zidavoveva_" + s;
    return "Usage: " + named + " [options]\n"
           "       start" + s + " [options]   stop" + s + " [options]\n"
           "       zidavoveva_service [options] " + s + "\n"
           "       zidavoveva_service --list [--json | --format=prometheus]\n"
           "       zidavoveva_service --history [SERVICE] [--limit=N] [--since=TIME]\n"
           "\n"
           "Restarts the service " + s + " (the default action), or stops, reloads, checks\n"
           "it or shows its status, through systemd or its init script.\n"
           "\n"
           "Options (later ones override earlier ones):\n" +
           line(option(Verb::Status), "show whether " + s + " runs, with its pid") +
           line(option(Verb::Check), "check that " + s + " runs and answers") +
           line(option(Verb::Stop) + ", --no-stop", "stop " + s + " (stop" + s + " implies it)") +
           line(option(Verb::Reload) + ", --no-reload", "reload its configuration, when it can") +
           line(option(Verb::Restart) + ", " + option(Verb::Start), "restart it") +
           line("--no-restart", "do nothing but show the status") +
           line("--graceful, --no-graceful", "restart without dropping connections, when it can") +
           line("--restart-attempt=N", "make only start attempt number N") +
           line("--force", "start even while a base installation runs") +
           line("--verbose, --no-verbose", "progress and summaries (on in a shell)") +
           line("--debug, --no-debug", "timed debug lines; --no-debug is quiet") +
           line("--html", "write HTML instead of terminal text") +
           line("--json", "one JSON record per message, for programs") +
           line("--skip-if-absent", "succeed when " + s + " is not installed") +
           line("--no-fpm-status", "leave out the PHP-FPM status after a restart") +
           line("--systemd-service=UNIT", "the unit that runs this as its stop command") +
           line("--systemd-unit-command", "run as a systemd unit's own start or stop command") +
           line("--ignore-systemd", "drive the service through its init script and find") +
           line("", "its process without asking systemd") +
           line("--list", "list every service this server knows: installed,") +
           line("", "enabled, running and its main pid; changes nothing") +
           line("--format=prometheus", "the listing as metrics in the Prometheus text format") +
           line("--history", "the last runs that acted on services: when, who,") +
           line("", "what, how it ended, the pids before and after") +
           line("--limit=N", "show the last N runs of the history (20)") +
           line("--since=TIME", "only the runs since TIME (\"2026-12-11 03:00\")") +
           line("--dry-run", "say what the start, stop, restart or reload would do,") +
           line("", "in order, and do nothing") +
           line("--help, -h", "show this text") +
           "\n"
           "The bare words " +
           words({Verb::Start, Verb::Restart, Verb::Stop, Verb::Status, Verb::Check, Verb::Reload}) +
           " stand for\n"
           "their options: zidavoveva_" + s + " " + std::string(row_of(Verb::Status).word) +
           " is zidavoveva_" + s + " " + option(Verb::Status) + ".\n"
           "\n"
           "Exit status:\n"
           "  0    success (also: not installed with --skip-if-absent)\n"
           "  130  ended by Ctrl-C (an INT signal)\n"
           "  143  ended by a TERM signal\n"
           "  255  the service failed (with --verbose, the reason is shown above), or\n"
           "       the run was refused or failed (the reason is on standard error)\n";
}

int usage(Output::Base& out, const std::string& service) {
    out.output(text(service));
    return 0;
}

}  // namespace Tavrel::Cli::Help
