// The command line of a run (words separated by NUL bytes, as in
// /proc/<pid>/cmdline): the option parser either refuses it with a message
// or returns a consistent request, and the words it gives back are words of
// the command line. The invocation name and the service-word checks see the
// same words.
#include "Check.h"

#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Validate/FilesystemNodeName.h"
#include "Tavrel/Foundation/Validate/Service.h"
#include "Tavrel/Cli/Main.h"
#include "Tavrel/Cli/Parseargv.h"

#include <algorithm>
#include <string>
#include <vector>

namespace Z = Tavrel::Cli;
namespace Validate = Tavrel::Foundation::Validate;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = Fuzz::text(data, size);
    std::vector<std::string> words;
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = text.find('\0', start);
        if (end == std::string_view::npos)
            end = text.size();
        words.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }

    for (const auto& w : words) {
        if (Validate::Service::is_valid(w)) {
            FUZZ_CHECK(Validate::FilesystemNodeName::is_valid(w));
            FUZZ_CHECK(w.find('/') == std::string::npos && w.find("..") == std::string::npos);
            FUZZ_CHECK(w.size() <= Validate::Service::MAX_LENGTH);
        }
        if (Validate::FilesystemNodeName::is_valid(w))
            FUZZ_CHECK(!w.empty() && w.find('/') == std::string::npos && w != "." && w != "..");
        if (auto inv = Z::Main::parse_invocation_name(w)) {
            FUZZ_CHECK(inv->action == "start" || inv->action == "stop" ||
                       inv->action == "zidavoveva_");
            FUZZ_CHECK(w.ends_with(inv->action + inv->service));
            FUZZ_CHECK(inv->service.find('/') == std::string::npos);
        }
    }

    try {
        Z::ParsedArgv p = Z::parse_options(words, {.verbose = 1, .stop = words.size() % 2 == 1});
        const auto& verb = Tavrel::Service::row_of(p.verb);
        FUZZ_CHECK(verb.verb == p.verb);
        FUZZ_CHECK(p.verbose >= 0 && p.verbose <= 2);
        if (verb.question)
            FUZZ_CHECK(!p.graceful && !p.restart_attempt);
        const auto& rest = p.words;
        FUZZ_CHECK(rest.size() <= words.size());
        for (const auto& r : rest)
            FUZZ_CHECK(std::find(words.begin(), words.end(), r) != words.end());
    } catch (const Tavrel::Foundation::PlainError& e) {
        FUZZ_CHECK(std::string(e.what()).find("--help") != std::string::npos);
    }
    return 0;
}
