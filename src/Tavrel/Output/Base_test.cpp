#include "Tavrel/Output/Base.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/Console.h"
#include "Tavrel/Output/Callback/Write.h"
#include "Tavrel/Output/Console.h"
#include "Tavrel/Output/Formatted/Terminal.h"
#include "testsupport/InChild.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Tavrel::Output::Base;
using json = nlohmann::ordered_json;

// An output object whose text is captured.
struct Captured {
    std::string text;
    Base output{options()};

    Base::Options options() {
        Base::Options o;
        o.filehandle = std::make_shared<Tavrel::Output::Callback::Write>(
            [this](std::string_view t) { text += t; });
        return o;
    }
    std::vector<json> records() const {
        std::vector<json> all;
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t nl = text.find('\n', pos);
            all.push_back(json::parse(text.substr(pos, nl - pos)));
            pos = nl + 1;
        }
        return all;
    }
};

TEST(OutputJson, OneRecordPerMessageWithPartialFlagAndSource) {
    Captured c;
    c.output.output_partial("Restarting httpd ");
    c.output.output("done");
    c.output.warn("two\nlines");
    json remote = {{"host", "backup.example.net"}};
    c.output.error("refused", remote);

    // One line per message, even for a text with a newline in it.
    ASSERT_EQ(std::count(c.text.begin(), c.text.end(), '\n'), 4);
    auto r = c.records();
    EXPECT_EQ(r[0]["type"], "out");
    EXPECT_EQ(r[0]["contents"], "Restarting httpd ");
    EXPECT_EQ(r[0]["partial"], 1);
    EXPECT_EQ(r[0]["source"], 0);
    EXPECT_EQ(r[1]["partial"], 0);
    EXPECT_EQ(r[1]["pid"], static_cast<long>(getpid()));
    EXPECT_EQ(r[2]["type"], "warn");
    EXPECT_EQ(r[2]["contents"], "two\nlines");
    // No default source: the member is left out.
    EXPECT_FALSE(r[2].contains("source"));
    EXPECT_EQ(r[3]["source"], remote);
}

TEST(OutputJson, AliasesMapsExceptionsAndDefaultSource) {
    Captured c;
    c.output.set_source(Tavrel::Output::SOURCE_REMOTE);
    c.output.info("i");
    c.output.warning("w");
    c.output.success(json{{"msg", "ok"}, {"service", "exim"}});
    c.output.error(std::runtime_error("disk full"));
    auto r = c.records();
    EXPECT_EQ(r[0]["type"], "out");
    EXPECT_EQ(r[0]["source"], 1);
    EXPECT_EQ(r[1]["type"], "warn");
    EXPECT_EQ(r[2]["contents"]["service"], "exim");
    EXPECT_EQ(r[3]["contents"], "disk full");
}

TEST(OutputJson, ForeignBytesThatAreNotUtf8DoNotLoseTheMessage) {
    Captured c;
    c.output.out(std::string("bad \xff\xfe bytes"));
    auto r = c.records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_NE(r[0]["contents"].get<std::string>().find("bytes"), std::string::npos);
}

TEST(OutputJson, DebugOnlyWhenSwitchedOn) {
    Captured c;
    c.output.debug("hidden");
    EXPECT_EQ(c.text, "");
    Tavrel::Output::DEBUG_MESSAGES = true;
    c.output.debug("shown");
    Tavrel::Output::DEBUG_MESSAGES = false;
    EXPECT_EQ(c.records().at(0)["type"], "debug");
}

TEST(OutputJson, SerialisesAsMarkerNotFields) {
    Captured c;
    json j = c.output;
    EXPECT_EQ(j, std::string(Tavrel::Output::JSON_MARKER));
}

TEST(OutputJson, WritesToARealDescriptor) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        Base::Options o;
        o.filehandle = Tavrel::Output::FileHandle::from_fd(fds[1]);
        Base out(o);
        out.output("through a pipe");
    }
    close(fds[1]);
    char buf[512];
    ssize_t n = read(fds[0], buf, sizeof buf);
    close(fds[0]);
    ASSERT_GT(n, 0);
    std::string line(buf, static_cast<std::size_t>(n));
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(json::parse(line)["contents"], "through a pipe");
}

// A caller that hung up (a panel, "| head") must never end the run between
// a stop and a start: the messages it no longer reads are dropped quietly,
// with SIGPIPE at its default disposition.
TEST(OutputJson, ReaderThatHungUpIsDroppedQuietly) {
    const int code = Tavrel::TestSupport::in_child([] {
        ::signal(SIGPIPE, SIG_DFL);
        int fds[2];
        if (::pipe(fds) != 0 || ::dup2(fds[1], STDOUT_FILENO) < 0)
            return 3;
        ::close(fds[0]);
        Base json_out;
        Tavrel::Output::Formatted::Terminal text_out;
        errno = EDOM;
        json_out.output("Restarting httpd");
        text_out.output_partial("Restarting httpd ...");
        text_out.success(" done");
        if (errno != EDOM)
            return 2;
        sigset_t pending;
        ::sigpending(&pending);
        return sigismember(&pending, SIGPIPE) ? 1 : 0;  // nothing left to strike later
    });
    EXPECT_EQ(code, 0);
}

TEST(OutputIndent, GuardRestoresLevelAlsoWhileAnExceptionUnwinds) {
    Captured c;
    EXPECT_EQ(c.output.get_indent_level(), 0);
    try {
        auto outer = c.output.create_indent_guard();
        auto inner = c.output.create_indent_guard();
        c.output.out("deep");
        EXPECT_EQ(c.output.get_indent_level(), 2);
        throw std::runtime_error("boom");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(c.output.get_indent_level(), 0);
    EXPECT_EQ(c.records().at(0)["indent"], 2);

    // A guard released early does not lower the level a second time.
    c.output.increase_indent_level();
    {
        auto g = c.output.create_indent_guard();
        g.release();
        EXPECT_EQ(c.output.get_indent_level(), 1);
    }
    EXPECT_EQ(c.output.get_indent_level(), 1);
}

TEST(OutputIndent, LoweringBelowZeroStaysAtZero) {
    Captured c;
    c.output.decrease_indent_level();
    EXPECT_EQ(c.output.get_indent_level(), 0);
    c.output.increase_indent_level();
    c.output.increase_indent_level();
    c.output.reset_indent_level();
    EXPECT_EQ(c.output.get_indent_level(), 0);
}

TEST(OutputMessageSet, HeaderHighlightedLinesOneLevelDeeperThenEmptyLine) {
    Captured c;
    c.output.increase_indent_level();
    c.output.display_message_set("Startup Log",
                                 "AH00526: Syntax error on line 3\n\n\n"
                                 "[warn] NameVirtualHost has no effect\nListening on port 80\n");
    auto r = c.records();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0]["type"], "header");
    EXPECT_EQ(r[0]["indent"], 1);
    EXPECT_EQ(r[1]["type"], "error");
    EXPECT_EQ(r[1]["indent"], 2);
    EXPECT_EQ(r[2]["type"], "warn");
    EXPECT_EQ(r[3]["type"], "out");
    EXPECT_EQ(r[3]["contents"], "Listening on port 80");
    EXPECT_EQ(r[4]["type"], "out");
    EXPECT_EQ(r[4]["contents"], "");
    EXPECT_EQ(r[4]["indent"], 1);
    EXPECT_EQ(c.output.get_indent_level(), 1);
}

// A sink that fails on the n-th write, to show the level survives a failure
// in the middle of a message set.
TEST(OutputMessageSet, LevelRestoredWhenSendingFails) {
    int writes = 0;
    Base::Options o;
    o.filehandle = std::make_shared<Tavrel::Output::Callback::Write>([&](std::string_view) {
        if (++writes == 3)
            throw std::runtime_error("sink gone");
    });
    Base out(o);
    EXPECT_THROW(out.display_message_set("Log", "a\nb\nc"), std::runtime_error);
    EXPECT_EQ(out.get_indent_level(), 0);
}

TEST(OutputMessageSet, EmptyTextStillHeaderAndTrailingLine) {
    Captured c;
    c.output.display_message_set("Service Status", "");
    auto r = c.records();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0]["type"], "header");
    EXPECT_EQ(r[1]["contents"], "");
}

}  // namespace

namespace {

// Under --json a line from below the output layer (the logger's echo on a
// terminal, the progress of ending processes) is one record like every
// other message; once the run's object is attached as the reader, nothing
// of it reaches standard output as plain text, and once the object is gone
// such lines go to standard error.
TEST(OutputConsole, LinesFromBelowBecomeRecordsOfTheAttachedObject) {
    auto text = std::make_shared<std::string>();
    Base::Options o;
    o.filehandle = std::make_shared<Tavrel::Output::Callback::Write>(
        [text](std::string_view t) { *text += t; });
    auto out = std::make_shared<Base>(o);
    Tavrel::Output::Console::attach(out);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    Tavrel::Foundation::Console::line("info", "info [zidavoveva_crond] The system stopped cron.\n");
    out.reset();
    Tavrel::Foundation::Console::line("progress", "No process of cron was found.");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "No process of cron was found.\n");
    Tavrel::Foundation::Console::set_sink({});

    ASSERT_EQ(std::count(text->begin(), text->end(), '\n'), 1) << *text;
    const json record = json::parse(*text);
    EXPECT_EQ(record["type"], "log");
    EXPECT_EQ(record["contents"],
              (json{{"kind", "info"}, {"msg", "info [zidavoveva_crond] The system stopped cron."}}));
}

}  // namespace
