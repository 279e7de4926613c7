// /proc/<pid>/cmdline: the command text of the process table, the argument
// words of a pid handle, and the program-name match of the name search.
#include "Check.h"

#include "Tavrel/Process/Proc/Basename.h"
#include "Tavrel/Process/PsParser.h"
#include "Tavrel/Process/PsParser/Parse.h"

#include <string>
#include <vector>

namespace Parse = Tavrel::Process::PsParser::Parse;
using Tavrel::Process::PsParser::NameMatcher;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto raw = Fuzz::text(data, size);
    std::string command = Parse::command_from_cmdline(raw);
    FUZZ_CHECK(command.size() <= raw.size());
    FUZZ_CHECK(command.find('\0') == std::string::npos);

    std::vector<std::string> words = Parse::cmdline_words(raw);
    FUZZ_CHECK(words.empty() || !words.back().empty());
    if (words.empty())
        return 0;
    std::string name = Tavrel::Process::Proc::Basename::getbasename(words.front());
    FUZZ_CHECK(name.size() <= words.front().size());
    std::vector<std::string> rest;
    for (size_t i = 1; i < words.size(); ++i)
        rest.push_back(Tavrel::Process::Proc::Basename::getbasename(words[i]));

    // One plain name and one list; neither may match an empty program name.
    static const auto single = NameMatcher::create("exim");
    static const auto list = NameMatcher::create(std::vector<std::string>{"httpd", "apache2"});
    FUZZ_CHECK(single && list);
    bool a = single->matches_words(name, rest, "");
    bool b = list->matches_words(name, rest, name);
    if (name.empty() && rest.empty()) {
        FUZZ_CHECK(!a);
        FUZZ_CHECK(!b);
    }
    return 0;
}
