// The README is where an administrator copies commands from: each command
// line it shows must be one the program accepts, the options and actions it
// names the parser's, its exit statuses the program's, its files those of
// man/FILES.md, and every test its Reliability table cites must exist. A
// renamed option, status, path or test then fails here instead of leaving
// the front page wrong.
#include "Tavrel/Cli/Main.h"
#include "Tavrel/Cli/Parseargv.h"
#include "Tavrel/Service/RunSignals.h"
#include "Tavrel/Service/Verb.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

fs::path repo_root() { return fs::path(TAVREL_SOURCE_DIR).parent_path(); }

std::string read_file(const fs::path& path) {
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << path;
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

const std::string& readme() {
    static const std::string text = read_file(repo_root() / "README.md");
    return text;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool is_fence(const std::string& line) { return line.rfind("```", 0) == 0; }

// The heading level of a line ("## Usage" is 2); 0 for any other line.
std::size_t heading_level(const std::string& line) {
    const auto hashes = line.find_first_not_of('#');
    if (hashes == 0 || hashes == std::string::npos || line[hashes] != ' ')
        return 0;
    return hashes;
}

// The section under `heading` (a whole line, such as "## Usage"), down to the
// next heading of its level or above. A shell comment inside a code block is
// no heading.
std::string section(const std::string& heading) {
    const std::size_t level = heading_level(heading);
    std::string text;
    bool inside = false;
    bool fenced = false;
    for (const auto& line : lines_of(readme())) {
        if (is_fence(line))
            fenced = !fenced;
        const std::size_t here = fenced || is_fence(line) ? 0 : heading_level(line);
        if (here != 0 && here <= level)
            inside = line == heading;
        else if (inside)
            text += line + "\n";
    }
    EXPECT_FALSE(text.empty()) << "the README has no section \"" << heading << "\"";
    return text;
}

// The sections that tell how to run the program.
std::string usage_text() {
    return section("## When to use it instead of `systemctl` or `service`") + section("## Usage") +
           section("## Exit status");
}

// The rows of the Markdown tables in `text`, each a list of its cells,
// without the header's separator row.
std::vector<std::vector<std::string>> table_rows(const std::string& text) {
    static const std::regex separator(R"(^\|[- |]+\|$)");
    std::vector<std::vector<std::string>> rows;
    for (const auto& line : lines_of(text)) {
        if (line.rfind("| ", 0) != 0 || std::regex_match(line, separator))
            continue;
        std::vector<std::string> cells;
        std::size_t start = 2;
        for (std::size_t bar; (bar = line.find(" |", start)) != std::string::npos; start = bar + 3)
            cells.push_back(line.substr(start, bar - start));
        rows.push_back(cells);
    }
    return rows;
}

// The `quoted` pieces of a cell.
std::vector<std::string> code_spans(const std::string& cell) {
    std::vector<std::string> spans;
    static const std::regex span("`([^`]+)`");
    for (std::sregex_iterator it(cell.begin(), cell.end(), span), end; it != end; ++it)
        spans.push_back((*it)[1]);
    return spans;
}

std::vector<std::string> words_of(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// The command lines of the README's shell blocks that start one of the
// program's names, with what follows a comment, a pipe or a redirection cut.
std::vector<std::string> program_command_lines() {
    std::vector<std::string> commands;
    bool shell = false;
    for (auto line : lines_of(readme())) {
        if (is_fence(line)) {
            shell = !shell && line == "```sh";
            continue;
        }
        if (!shell)
            continue;
        for (const char* cut : {" #", " ||", " |", " &&", " >", " 2>"})
            line = line.substr(0, line.find(cut));
        const auto words = words_of(line);
        if (!words.empty() && Tavrel::Cli::Main::parse_invocation_name(words.front()))
            commands.push_back(line);
    }
    return commands;
}

TEST(ReadmeDocs, EveryCommandLineItShowsIsOneTheProgramAccepts) {
    namespace Main = Tavrel::Cli::Main;
    const auto commands = program_command_lines();
    EXPECT_GE(commands.size(), 10u) << "the README's examples were not found in ```sh blocks";
    for (const auto& line : commands) {
        auto words = words_of(line);
        const std::string program = words.front();
        words.erase(words.begin());
        const Main::Command command = Main::read_command(program, words, false);
        ASSERT_TRUE(command.invocation) << line;
        EXPECT_NE(program, Main::BASE_PROGRAM) << line;
        if (!command.options) {
            ADD_FAILURE() << "the README shows \"" << line << "\", which the program refuses: "
                          << command.refusal;
            continue;
        }
        // The usage text, the listing and the history need no service.
        if (command.options->help || command.options->list || command.options->history)
            continue;
        // The service word: the name's, or under the generic name the first
        // word that is not an option, as the run takes it.
        std::string service = command.invocation->service;
        if (service == Main::GENERIC_WORD)
            service = command.options->words.empty() ? "" : command.options->words.front();
        EXPECT_FALSE(service.empty()) << "\"" << line << "\" names no service";
        EXPECT_FALSE(Tavrel::Cli::is_action_word(service))
            << "\"" << line << "\" puts the action word before the service word";
    }
}

TEST(ReadmeDocs, OptionsItNamesAreTheParsers) {
    const auto names = Tavrel::Cli::option_names();
    std::set<std::string> known(names.begin(), names.end());
    // Options of the other programs the usage text names: cmake's.
    const std::set<std::string> other_programs = {"install"};
    const std::string text = usage_text();
    static const std::regex option(R"((^|[^-\w])--([a-z][a-z-]*[a-z]))");
    std::set<std::string> named;
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it)
        named.insert((*it)[2]);
    EXPECT_GE(named.size(), 10u);
    for (const auto& name : named) {
        EXPECT_TRUE(known.count(name) || other_programs.count(name))
            << "the README names --" << name << ", which the parser does not accept";
    }
}

// Each action is shown by its option and by its bare word.
TEST(ReadmeDocs, UsageNamesEveryVerbByOptionAndBareWord) {
    const std::string text = section("## Usage");
    for (const auto& row : Tavrel::Service::verbs()) {
        EXPECT_NE(text.find("`" + std::string(row.option) + "`"), std::string::npos)
            << row.option << " is not among the README's actions";
        EXPECT_NE(text.find("`" + std::string(row.word) + "`"), std::string::npos)
            << "the bare word " << row.word << " is not among the README's actions";
    }
}

TEST(ReadmeDocs, ExitStatusTableIsTheProgramsStatuses) {
    using Tavrel::Cli::Main::EXIT_FAILURE_STATUS;
    using Tavrel::Service::RunSignals::INT_EXIT_STATUS;
    using Tavrel::Service::RunSignals::TERM_EXIT_STATUS;
    std::map<int, std::string> table;
    static const std::regex status("[0-9]+");
    for (const auto& row : table_rows(section("## Exit status"))) {
        if (row.size() == 2 && std::regex_match(row[0], status))
            table[std::stoi(row[0])] = row[1];
    }
    const std::set<int> expected = {0, EXIT_FAILURE_STATUS, TERM_EXIT_STATUS, INT_EXIT_STATUS};
    std::set<int> shown;
    for (const auto& entry : table)
        shown.insert(entry.first);
    EXPECT_EQ(shown, expected);
    EXPECT_NE(table[0].find("success"), std::string::npos);
    EXPECT_NE(table[0].find("--skip-if-absent"), std::string::npos);
    EXPECT_NE(table[EXIT_FAILURE_STATUS].find("fail"), std::string::npos);
    EXPECT_NE(table[EXIT_FAILURE_STATUS].find("refused command line"), std::string::npos);
    EXPECT_NE(table[TERM_EXIT_STATUS].find("TERM"), std::string::npos);
    EXPECT_NE(table[INT_EXIT_STATUS].find("INT"), std::string::npos);
}

TEST(ReadmeDocs, FilesTableNamesOnlyPathsOfTheFullList) {
    const std::string full_list = read_file(repo_root() / "man" / "FILES.md");
    std::size_t paths = 0;
    for (const auto& row : table_rows(section("## Files"))) {
        for (const auto& span : code_spans(row.front())) {
            if (span.front() != '/')
                continue;
            ++paths;
            EXPECT_NE(full_list.find("`" + span + "`"), std::string::npos)
                << span << " is in the README's files but not in man/FILES.md";
        }
    }
    EXPECT_GE(paths, 10u);
}

// Every "Suite.Name" a test source declares (TEST, TEST_F, TEST_P).
std::set<std::string> declared_tests() {
    static const std::regex declaration(R"(\bTEST(?:_F|_P)?\(\s*(\w+)\s*,\s*(\w+)\s*\))");
    std::set<std::string> tests;
    for (const char* dir : {"src", "tests"}) {
        for (const auto& entry : fs::recursive_directory_iterator(repo_root() / dir)) {
            const auto name = entry.path().filename().string();
            if (!entry.is_regular_file() || !name.ends_with("_test.cpp"))
                continue;
            const std::string text = read_file(entry.path());
            for (std::sregex_iterator it(text.begin(), text.end(), declaration), end; it != end; ++it)
                tests.insert(std::string((*it)[1]) + "." + std::string((*it)[2]));
        }
    }
    return tests;
}

// The test column cites unit tests (Suite.Name, or Suite.* for a whole
// suite), checks and scripts by their path, and fuzz targets by name.
TEST(ReadmeDocs, ReliabilityTableCitesTestsThatExist) {
    const auto tests = declared_tests();
    std::set<std::string> suites;
    for (const auto& test : tests)
        suites.insert(test.substr(0, test.find('.')));
    static const std::regex unit_test(R"(([A-Z]\w*)\.(\w+|\*))");
    std::size_t cited = 0;
    for (const auto& row : table_rows(section("## Reliability"))) {
        EXPECT_EQ(row.size(), 3u) << "a Reliability row is not tried | test | result: " << row.front();
        if (row.size() != 3 || row[1] == "test")
            continue;
        const bool fuzz_targets = row[1].rfind("fuzz targets", 0) == 0;
        for (const auto& span : code_spans(row[1])) {
            ++cited;
            std::smatch m;
            if (std::regex_match(span, m, unit_test)) {
                if (m[2] == "*")
                    EXPECT_TRUE(suites.count(m[1])) << "no test suite " << m[1];
                else
                    EXPECT_TRUE(tests.count(span)) << "no test " << span;
            } else if (span.find('/') != std::string::npos) {
                const std::string path = span.substr(0, span.find(' '));
                EXPECT_TRUE(fs::exists(repo_root() / path)) << "no " << path;
            } else if (fuzz_targets) {
                EXPECT_TRUE(fs::exists(repo_root() / "fuzz" / (span + ".cpp")))
                    << "no fuzz target " << span;
            } else if (span.find('=') == std::string::npos) {
                ADD_FAILURE() << "the Reliability table cites `" << span
                              << "`, which is no test, path or fuzz target";
            }
        }
    }
    EXPECT_GE(cited, 50u);
}

}  // namespace
