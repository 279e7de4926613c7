#include "Tavrel/Output/Formatted/Plain.h"

#include "Tavrel/Output/Callback/Write.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using Tavrel::Output::Base;
using Tavrel::Output::ParentContext;
using Plain = Tavrel::Output::Formatted::Plain;

Base::Options capture_into(std::string& text, std::optional<ParentContext> parent = {}) {
    Base::Options o;
    o.filehandle =
        std::make_shared<Tavrel::Output::Callback::Write>([&text](std::string_view t) { text += t; });
    o.parent = std::move(parent);
    return o;
}

TEST(PlainPartialLines, PartialThenCompleteMakeOneIndentedLine) {
    std::string text;
    Plain out(capture_into(text));
    out.increase_indent_level();
    out.output_partial("Restarting httpd");
    out.output_partial(" .");
    EXPECT_FALSE(out.last_message_had_newline());
    out.output(" done");
    EXPECT_TRUE(out.last_message_had_newline());
    out.output("next");
    EXPECT_EQ(text, "\tRestarting httpd . done\n\tnext\n");
}

TEST(PlainPartialLines, NextMessageOfAnyTypeContinuesTheLine) {
    std::string text;
    Plain out(capture_into(text));
    out.increase_indent_level();
    // The progress of a restart is closed by its outcome word on the same line.
    out.output_partial("Restarting httpd ");
    out.output_partial("...");
    out.success(" done");
    out.output_partial("Starting exim ");
    out.error("failed");
    out.warn("exim.conf: deprecated option");
    EXPECT_EQ(text,
              "\tRestarting httpd ... done\n\tStarting exim failed\n"
              "\texim.conf: deprecated option\n");
    // A partial message of another type leaves the line open too.
    text.clear();
    out.warn("careful: ", std::nullopt, Tavrel::Output::PARTIAL_MESSAGE);
    out.output("x");
    EXPECT_EQ(text, "\tcareful: x\n");
}

TEST(PlainPartialLines, MultiLineAndEmptyMessages) {
    std::string text;
    Plain out(capture_into(text));
    out.increase_indent_level();
    // Every line but the last of a partial message is ended.
    out.output_partial("one\ntwo");
    out.output("+three");
    EXPECT_EQ(text, "\tone\n\ttwo+three\n");

    text.clear();
    out.output("");          // an empty indented line
    out.output_partial("");  // nothing but the indent; the line stays open
    out.output("x");
    EXPECT_EQ(text, "\t\n\tx\n");

    // A partial line of its own that ends with a newline has ended; a
    // multi-line partial message ends every line but the last, whatever its
    // trailing newline.
    text.clear();
    out.output_partial("a\n");
    out.output_partial("b\nc\n");
    out.output("d");
    EXPECT_EQ(text, "\ta\n\tb\n\tcd\n");

    // Blank lines inside a text are kept, trailing ones dropped.
    text.clear();
    out.output("p\n\nq\n\n\n");
    EXPECT_EQ(text, "\tp\n\t\n\tq\n");
}

TEST(PlainMessages, MapsExceptionsListsAndOtherTypes) {
    std::string text;
    Plain out(capture_into(text));
    out.error(nlohmann::ordered_json{{"msg", "port 25 in use"}, {"pid", 77}});
    out.error(std::runtime_error("spawn failed"));
    out.out(std::vector<std::string>{"joined", " ", "text"});
    out.message("notice", nlohmann::ordered_json{{"service", "named"}, {"port", 53}});
    out.message("notice", "plain text");
    EXPECT_EQ(text,
              "port 25 in use\nspawn failed\njoined text\nnotice: service=named port=53\n"
              "notice: plain text\n");
}

TEST(PlainIndent, GuardAndMessageSetRestoreLevelOnUnwinding) {
    std::string text;
    Plain out(capture_into(text));
    try {
        auto guard = out.create_indent_guard();
        out.output("inside");
        throw std::runtime_error("fail");
    } catch (const std::runtime_error&) {
    }
    out.output("outside");
    EXPECT_EQ(text, "\tinside\noutside\n");
}

TEST(PlainMessageSet, HeaderThenIndentedLinesThenEmptyLine) {
    std::string text;
    Plain out(capture_into(text));
    out.display_message_set("Startup Log", "line one\n\nline two");
    out.display_message_set("Empty", "");
    out.output("after");
    EXPECT_EQ(text, "Startup Log\n\tline one\n\tline two\n\nEmpty\n\nafter\n");
}

TEST(PlainParentContext, FixedWidthPrefixAtTheStartOfEachLine) {
    std::string text;
    Plain out(capture_into(
        text, ParentContext{4242, "mail", "3", "domain", "a-very-long-domain-name.example.com"}));
    out.output_partial("Working");
    out.output(" done");
    out.output("two\nlines");
    const std::string prefix = "  4242|mail:3    |d|a-very-long-doma ";
    EXPECT_EQ(text, prefix + "Working done\n" + prefix + "two\n" + prefix + "lines\n");
}

TEST(PlainParentContext, FittingCountsCharactersNotBytes) {
    using Tavrel::Output::detail::fit_to_width;
    EXPECT_EQ(fit_to_width("héllo wörld, longer", 8), "héllo wö");
    EXPECT_EQ(fit_to_width("ünï", 5), "ünï  ");
    EXPECT_EQ(fit_to_width("12", 6, true), "    12");
    EXPECT_EQ(fit_to_width("", 1), " ");

    std::string text;
    Plain out(capture_into(text, ParentContext{1, "", "", "", "домен.рф"}));
    out.output("x");
    EXPECT_EQ(text, "     1|          | |домен.рф         x\n");
}

}  // namespace

namespace {

// A daemon's start-up output shown as a startup log: its escape sequences,
// bell and carriage return must not reach the terminal raw, whatever line
// type the classifier gives the line; tabs keep the daemon's columns.
TEST(PlainForeignText, ControlCharactersOfADaemonAreShownEscaped) {
    std::string text;
    Plain out(capture_into(text));
    out.display_message_set("Startup Log",
                            "\x1b]0;owned\x07title\n"
                            "error: bad key\rall fine\n"
                            "\x1b[2J\x1b[31mcleared\tcolumn\n");
    EXPECT_EQ(text,
              "Startup Log\n"
              "\t\\x1b]0;owned\\x07title\n"
              "\terror: bad key\\x0dall fine\n"
              "\t\\x1b[2J\\x1b[31mcleared\tcolumn\n"
              "\n");
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
}

// A line from below the output layer (the logger's echo, the progress of
// ending processes) is a line of its own: it never lands inside a progress
// line left open, which goes on below it.
TEST(PlainForeignText, ConsoleLineEndsAnOpenLineFirst) {
    std::string text;
    Plain out(capture_into(text));
    out.output_partial("Stopping cron .");
    out.console_line("info", "info [zidavoveva_crond] The system stopped the service.");
    out.output(" done");
    out.console_line("progress", "No process of cron was found.");
    EXPECT_EQ(text,
              "Stopping cron .\n"
              "info [zidavoveva_crond] The system stopped the service.\n"
              " done\n"
              "No process of cron was found.\n");
}

}  // namespace
