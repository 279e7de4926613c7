// Tavrel::ZidavovEva::parseargv: the command-line options of a service run.
//
// Reads the process argument list (Tavrel/ZidavovEva/Argv.h), applies the
// options in command-line order so that a later one overrides an earlier one,
// puts the words that are not options back as the argument list and returns
// what the run should do:
//
//   ArgvGuard lend({"--verbose", "--stop", "crond"});
//   ParsedArgv p = parseargv();     // p.mode == STOP, p.verbose == 1
//                                   // _get_argv() == {"crond"}
//
// Options (boolean ones also take a negated form --no-x or --nox):
//   --status  --check  --verbose (--no-verbose)  --debug (--no-debug)
//   --stop  --reload  --restart / --start  --graceful
//   --restart-attempt=N  --force (-f)  --html  --json  --skip-if-absent
//   --systemd-service=UNIT  --systemd-unit-command  --ignore-systemd
//   --no-fpm-status  --help / -h
// Unique abbreviations are accepted. An unknown option is refused with a
// PlainError naming it, so a typo never turns a status query into a restart.
//
// After parsing: with --status or --check no lifecycle action remains (mode 0,
// graceful flag and attempt number cleared); --no-restart alone means status.
// A check with ZIDAVOVEVA_CHECKMODE_HEADER set to a true value prints
// CHECKMODE_HEADER first.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace Tavrel::ZidavovEva {

// Lifecycle modes.
inline constexpr int RESTART = 1;
inline constexpr int STOP = -1;
inline constexpr int RELOAD = -2;

inline std::string CHECKMODE_HEADER_ENV = "ZIDAVOVEVA_CHECKMODE_HEADER";
inline std::string CHECKMODE_HEADER = "zidavoveva service check";

struct ParsedArgv {
    int mode = RESTART;  // RESTART, STOP, RELOAD or 0 (none)
    bool check = false;
    bool status = false;
    int verbose = 0;  // 0, 1 or 2
    // As given; the driver uses it only when it is a number.
    std::optional<std::string> restart_attempt;
    std::optional<bool> graceful;
    // --json: one JSON record per message (the base output object).
    bool json = false;
    // A check whose header is due (ZIDAVOVEVA_CHECKMODE_HEADER); printed here
    // except with --json.
    bool checkmode_header = false;
};

ParsedArgv parseargv();
// Every long option the parser knows, without the leading "--".
std::vector<std::string> option_names();

}  // namespace Tavrel::ZidavovEva
