#include "Tavrel/ZidavovEva/Parseargv.h"

#include "Tavrel/PlainError.h"
#include "Tavrel/ZidavovEva/Argv.h"

#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace Tavrel::ZidavovEva {

namespace {

enum Opt : int {
    O_STATUS = 1000,
    O_CHECK,
    O_VERBOSE,
    O_NO_VERBOSE,
    O_DEBUG,
    O_NO_DEBUG,
    O_STOP,
    O_NO_STOP,
    O_RELOAD,
    O_NO_RELOAD,
    O_RESTART,
    O_NO_RESTART,
    O_GRACEFUL,
    O_NO_GRACEFUL,
    O_ATTEMPT,
    O_JSON,
    O_IGNORED,  // read by the driver or the entry program from the raw words
};

// Every boolean option has both negated spellings, --no-x and --nox.
const struct option LONG_OPTIONS[] = {
    {"status", no_argument, nullptr, O_STATUS},
    {"check", no_argument, nullptr, O_CHECK},
    {"verbose", no_argument, nullptr, O_VERBOSE},
    {"no-verbose", no_argument, nullptr, O_NO_VERBOSE},
    {"noverbose", no_argument, nullptr, O_NO_VERBOSE},
    {"debug", no_argument, nullptr, O_DEBUG},
    {"no-debug", no_argument, nullptr, O_NO_DEBUG},
    {"nodebug", no_argument, nullptr, O_NO_DEBUG},
    {"stop", no_argument, nullptr, O_STOP},
    {"no-stop", no_argument, nullptr, O_NO_STOP},
    {"nostop", no_argument, nullptr, O_NO_STOP},
    {"reload", no_argument, nullptr, O_RELOAD},
    {"no-reload", no_argument, nullptr, O_NO_RELOAD},
    {"noreload", no_argument, nullptr, O_NO_RELOAD},
    {"restart", no_argument, nullptr, O_RESTART},
    {"start", no_argument, nullptr, O_RESTART},
    {"no-restart", no_argument, nullptr, O_NO_RESTART},
    {"norestart", no_argument, nullptr, O_NO_RESTART},
    {"graceful", no_argument, nullptr, O_GRACEFUL},
    {"no-graceful", no_argument, nullptr, O_NO_GRACEFUL},
    {"nograceful", no_argument, nullptr, O_NO_GRACEFUL},
    {"restart-attempt", required_argument, nullptr, O_ATTEMPT},
    {"force", no_argument, nullptr, O_IGNORED},
    {"html", no_argument, nullptr, O_IGNORED},
    {"json", no_argument, nullptr, O_JSON},
    {"skip-if-absent", no_argument, nullptr, O_IGNORED},
    {"systemd-service", required_argument, nullptr, O_IGNORED},
    {"systemd-unit-command", no_argument, nullptr, O_IGNORED},
    {"ignore-systemd", no_argument, nullptr, O_IGNORED},
    {"no-fpm-status", no_argument, nullptr, O_IGNORED},
    {"help", no_argument, nullptr, O_IGNORED},
    {nullptr, 0, nullptr, 0},
};

bool env_true(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

}  // namespace

ParsedArgv parseargv() {
    std::vector<std::string> words = _get_argv();
    // getopt_long wants a writable argv with a program name in front; it
    // permutes the pointers, never the strings.
    std::string progname = "zidavoveva";
    std::vector<char*> argv;
    argv.reserve(words.size() + 2);
    argv.push_back(progname.data());
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(argv.size()) - 1;

    ParsedArgv p;
    optind = 0;  // a full re-initialisation, so the parser can run again
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv.data(), ":hf", LONG_OPTIONS, nullptr)) != -1) {
        switch (c) {
            case O_STATUS: p.status = true; break;
            case O_CHECK: p.check = true; break;
            case O_VERBOSE: p.verbose = 1; break;
            case O_NO_VERBOSE: p.verbose = 0; break;
            case O_DEBUG: p.verbose = 2; break;
            case O_NO_DEBUG: p.verbose = 0; break;
            case O_STOP: p.mode = STOP; break;
            case O_RELOAD: p.mode = RELOAD; break;
            // The negated stop and reload ask for a restart, as --restart does.
            case O_NO_STOP:
            case O_NO_RELOAD:
            case O_RESTART:
                p.mode = RESTART;
                p.check = p.status = false;
                break;
            case O_NO_RESTART: p.mode = 0; break;
            case O_GRACEFUL: p.graceful = true; break;
            case O_NO_GRACEFUL: p.graceful = false; break;
            case O_ATTEMPT: p.restart_attempt = optarg; break;
            case O_JSON: p.json = true; break;
            case O_IGNORED:
            case 'h':
            case 'f': break;
            case ':':
                throw PlainError("The option “" + std::string(argv[optind - 1]) +
                                 "” needs a value. Run with --help to see the options.");
            default: {
                std::string word = argv[optind - 1] ? argv[optind - 1] : "";
                if (optopt != 0 && optopt < 256 && word.rfind("--", 0) != 0)
                    word = std::string("-") + static_cast<char>(optopt);
                throw PlainError("Unknown or ambiguous option “" + word +
                                 "”. Run with --help to see the options.");
            }
        }
    }

    std::vector<std::string> rest;
    for (int i = optind; i < argc; ++i)
        rest.emplace_back(argv[i]);
    _set_argv(std::move(rest));

    if (p.status || p.check) {
        p.mode = 0;
        p.graceful.reset();
        p.restart_attempt.reset();
    } else if (p.mode == 0) {
        p.status = true;
        p.graceful.reset();
        p.restart_attempt.reset();
    }
    p.checkmode_header = p.check && env_true(CHECKMODE_HEADER_ENV);
    // With --json the driver sends the header as a record of its own.
    if (p.checkmode_header && !p.json) {
        std::string line = CHECKMODE_HEADER + "\n";
        (void)!::write(STDOUT_FILENO, line.data(), line.size());
    }
    return p;
}

std::vector<std::string> option_names() {
    std::vector<std::string> out;
    for (const struct option* o = LONG_OPTIONS; o->name != nullptr; ++o)
        out.emplace_back(o->name);
    return out;
}

}  // namespace Tavrel::ZidavovEva
