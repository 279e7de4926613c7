#include "Tavrel/Output/ColorSupport.h"

#include "Tavrel/Output/TerminalColors.h"
#include "Tavrel/Output/Solarize.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace Term = Tavrel::Output::ColorSupport;
namespace Solarize = Tavrel::Output::Solarize;

namespace {

// Forces the terminal answers and the executable rule; restores everything after.
class Colour : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_term_ = std::getenv("TERM") ? std::getenv("TERM") : "";
        saved_program_ = Term::OWN_PROGRAM;
        saved_flags_ = Term::DISABLE_COLOR_FILES;
        saved_infocmp_ = Term::INFOCMP_PATH;
        // The test program counts as the product's own.
        Term::OWN_PROGRAM = std::filesystem::read_symlink("/proc/self/exe").filename();
        Term::DISABLE_COLOR_FILES = {dir_ / "nocolor"};
        unsetenv("NO_COLOR");  // a caller's wish would decide every case
        force_terminal(true);
        forget();
    }
    void TearDown() override {
        setenv("TERM", saved_term_.c_str(), 1);
        Term::OWN_PROGRAM = saved_program_;
        Term::DISABLE_COLOR_FILES = saved_flags_;
        Term::INFOCMP_PATH = saved_infocmp_;
        Term::is_terminal = Term::is_terminal_default;
        forget();
    }
    static void force_terminal(bool answer) {
        Term::is_terminal = [answer](int) { return answer; };
    }
    static void forget() {
        Term::clear_cache();
        Solarize::clear_cache();
    }
    Tavrel::TestSupport::TempDir dir_;

  private:
    std::string saved_term_, saved_program_;
    std::vector<std::string> saved_flags_;
    std::optional<std::string> saved_infocmp_;
};

}  // namespace

TEST_F(Colour, NoTerminalOrForeignExecutableMeansPlainText) {
    setenv("TERM", "xterm-256color", 1);
    force_terminal(false);
    EXPECT_EQ(Solarize::colored({"red"}, "text"), "text");
    EXPECT_FALSE(Tavrel::Output::TerminalColors::wants_colour(1));
    force_terminal(true);
    forget();
    Term::OWN_PROGRAM = "zidavoveva_base";  // the test program is another
    EXPECT_FALSE(Term::it_is_safe_to_colorize());
    EXPECT_EQ(Solarize::colored_text("text", {"red"}), "text");
}

TEST_F(Colour, KnownTerminalNeedsNoTool) {
    Term::INFOCMP_PATH = "/nonexistent/infocmp";
    setenv("TERM", "xterm-256color", 1);
    EXPECT_EQ(Solarize::current_palette(), &Solarize::solarize256());
    EXPECT_EQ(Solarize::colored({"base01"}, "x"), "\033[38;5;240mx\033[0m");
    EXPECT_EQ(Solarize::colored({"bold", "on_base3", "violet"}, std::vector<std::string>{"a", "b"}),
              "\033[1;48;5;230;38;5;61mab\033[0m");
    EXPECT_TRUE(Tavrel::Output::TerminalColors::wants_colour(1));
    EXPECT_EQ(Tavrel::Output::TerminalColors::colorize("err", "bold red"),
              "\033[1;38;5;160merr\033[0m");
    EXPECT_EQ(Tavrel::Output::TerminalColors::colorize("plain", ""), "plain");
}

TEST_F(Colour, FailingTerminfoFallsBackToTheName) {
    Term::INFOCMP_PATH = "/bin/false";
    setenv("TERM", "screen-16color", 1);
    EXPECT_EQ(Term::get_max_colors_for_terminal("screen-16color"), 16);
    EXPECT_EQ(Solarize::current_palette(), &Solarize::solarize16());
    // Accent colours without a 16-colour entry are the terminal's own.
    EXPECT_EQ(Solarize::colored({"red"}, "x"), "\033[31mx\033[0m");
    EXPECT_EQ(Solarize::colored({"orange"}, "x"), "\033[91mx\033[0m");
    EXPECT_FALSE(Term::get_max_colors_for_terminal("vt100"));
    EXPECT_FALSE(Term::get_max_colors_for_terminal(""));
}

// TERM is the caller's text: it reaches the tool as a name, never as an option.
TEST_F(Colour, TerminalNameIsNeverAnOptionOfTheTool) {
    const std::string tool = dir_.write(
        "infocmp", "#!/bin/sh\n[ \"$3\" = -- ] && [ \"$4\" = -A/tmp/x ] && echo max_colors#42\n");
    ::chmod(tool.c_str(), 0755);
    Term::INFOCMP_PATH = tool;
    EXPECT_EQ(Term::get_max_colors_for_terminal("-A/tmp/x"), 42);
}

TEST_F(Colour, RealTerminfoAnswers) {
    if (access("/usr/bin/infocmp", X_OK) != 0)
        GTEST_SKIP() << "no terminfo tool";
    EXPECT_EQ(Term::get_max_colors_for_terminal("linux"), 8);
    EXPECT_EQ(Term::get_max_colors_for_terminal("screen-256color"), 256);
    EXPECT_FALSE(Term::get_max_colors_for_terminal("vt100"));  // no colours, none in the name
}

TEST_F(Colour, EightColoursAndUnknownWords) {
    setenv("TERM", "xterm", 1);
    EXPECT_EQ(Solarize::current_palette(), &Solarize::solarize8());
    EXPECT_EQ(Solarize::colored({"base1"}, "x"), "\033[1;36mx\033[0m");
    EXPECT_EQ(Solarize::colored({"on_base03"}, "x"), "\033[40mx\033[0m");
    // Words outside the palette pass through; words nobody knows are dropped.
    EXPECT_EQ(Solarize::colored({"underline", "sparkly", "base3"}, "x"), "\033[4;1;37mx\033[0m");
    EXPECT_EQ(Solarize::colored({"sparkly"}, "x"), "x");
}

TEST_F(Colour, NoColoursMeansPlainAndFlagFileDisables) {
    Term::INFOCMP_PATH = "/bin/false";
    setenv("TERM", "dumb", 1);
    EXPECT_EQ(Solarize::colored({"red"}, "x"), "x");
    EXPECT_FALSE(Tavrel::Output::TerminalColors::wants_colour(1));
    setenv("TERM", "xterm-256color", 1);
    forget();
    EXPECT_TRUE(Tavrel::Output::TerminalColors::wants_colour(1));
    dir_.write("nocolor", "");
    EXPECT_TRUE(Tavrel::Output::TerminalColors::wants_colour(1));  // decided once per process
    forget();
    EXPECT_FALSE(Tavrel::Output::TerminalColors::wants_colour(1));
}

TEST_F(Colour, NoColorInTheEnvironmentIsHeardEvenAfterItIsGone) {
    Term::INFOCMP_PATH = "/bin/false";
    setenv("TERM", "xterm-256color", 1);
    setenv("NO_COLOR", "", 1);  // empty: no wish
    forget();
    EXPECT_TRUE(Tavrel::Output::TerminalColors::wants_colour(1));
    setenv("NO_COLOR", "1", 1);
    forget();
    Term::note_colour_wish();
    unsetenv("NO_COLOR");  // as the cleaning for daemons does
    EXPECT_FALSE(Tavrel::Output::TerminalColors::wants_colour(1));
}

TEST(ColourParsers, InfocmpAndNames) {
    EXPECT_EQ(Term::parse_infocmp_colors("xterm|xterm terminal,\n\tmax_colors#8,\n\tpairs#64,\n"),
              8);
    EXPECT_FALSE(Term::parse_infocmp_colors("vt100|dec vt100,\n\tcols#80,\n"));
    // Real output for screen-256color: the count is written in hexadecimal.
    EXPECT_EQ(Term::parse_infocmp_colors("\tmax_colors#0x100,\n\tmax_pairs#0x10000,\n"), 256);
    EXPECT_FALSE(Term::parse_infocmp_colors("\tmax_colors#0,\n"));
    EXPECT_EQ(Term::colors_from_name("rxvt-88color"), 88);
    EXPECT_FALSE(Term::colors_from_name("xterm"));
    EXPECT_EQ(Solarize::sgr({"ansi300"}), "");
    EXPECT_EQ(Solarize::sgr({"rgb500", "on_grey23"}), "\033[38;5;196;48;5;255m");
}
