// The manual page and the bash completion name exactly the long options the
// parser accepts, and the manual page every verb of the verb table, so
// neither can drift from them.
#include "Tavrel/Service/Verb.h"
#include "Tavrel/Cli/Parseargv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string read_repo_file(const std::string& relative) {
    std::ifstream in(std::string(TAVREL_SOURCE_DIR) + "/../" + relative);
    EXPECT_TRUE(in.good()) << relative;
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::set<std::string> parser_options() {
    auto names = Tavrel::Cli::option_names();
    return {names.begin(), names.end()};
}

// Every "--name" in the text (roff writes it "\-\-name", with "\-" for "-").
std::set<std::string> mentioned_options(std::string text) {
    text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
    std::set<std::string> found;
    std::regex option(R"(--([a-z][a-z-]*[a-z]))");
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it)
        found.insert((*it)[1]);
    return found;
}

TEST(OptionDocs, ManualPageNamesEveryOptionAndNoOther) {
    const std::string text = read_repo_file("man/zidavoveva.8");
    // Options are described before the FILES section, which comes from man/FILES.md.
    const auto described = mentioned_options(text.substr(0, text.find(".SH FILES")));
    const auto parser = parser_options();
    for (const auto& name : parser)
        EXPECT_TRUE(described.count(name)) << "--" << name << " is not in man/zidavoveva.8";
    for (const auto& name : described)
        EXPECT_TRUE(parser.count(name)) << "man/zidavoveva.8 names --" << name
                                        << ", which the parser does not accept";
}

// Each verb of the table is an action of the manual page's ACTIONS
// section, by its option and by its bare word.
TEST(OptionDocs, ManualPageActionsNameEveryVerb) {
    std::string text = read_repo_file("man/zidavoveva.8");
    const auto start = text.find(".SH ACTIONS");
    ASSERT_NE(start, std::string::npos);
    text = text.substr(start, text.find(".SH OPTIONS") - start);
    // roff: "\-" is "-", "\ " a space, \fB and \fR change the font.
    text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
    text = std::regex_replace(text, std::regex(R"(\\ )"), " ");
    text = std::regex_replace(text, std::regex(R"(\\f[BIR]|")"), "");
    const auto options = mentioned_options(text);
    for (const auto& row : Tavrel::Service::verbs()) {
        EXPECT_TRUE(options.count(std::string(row.option.substr(2))))
            << row.option << " is not among the actions of man/zidavoveva.8";
        EXPECT_TRUE(std::regex_search(text, std::regex("bare [^\n]*\\b" + std::string(row.word) + "\\b")))
            << "a bare " << row.word << " is not among the actions of man/zidavoveva.8";
    }
}

TEST(OptionDocs, CompletionOffersEveryOptionAndNoOther) {
    const std::string script = read_repo_file("completion/zidavoveva");
    // The list the completion offers: the _zidavoveva_options array.
    const auto start = script.find("_zidavoveva_options=(");
    ASSERT_NE(start, std::string::npos);
    const auto stop = script.find(')', start);
    const auto offered = mentioned_options(script.substr(start, stop - start));
    const auto parser = parser_options();
    for (const auto& name : parser)
        EXPECT_TRUE(offered.count(name)) << "--" << name << " is not offered by completion/zidavoveva";
    for (const auto& name : offered)
        EXPECT_TRUE(parser.count(name)) << "completion/zidavoveva offers --" << name
                                        << ", which the parser does not accept";
}

}  // namespace
