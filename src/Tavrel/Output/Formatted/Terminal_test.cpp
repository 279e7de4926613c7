#include "Tavrel/Output/Formatted/Terminal.h"

#include "Tavrel/Output/Callback/Write.h"
#include "Tavrel/Output/Solarize.h"
#include "Tavrel/Output/ColorSupport.h"
#include "testsupport/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

using Tavrel::Output::Base;
using TerminalOutput = Tavrel::Output::Formatted::Terminal;

TEST(TerminalOutput, CallbackHandleNeverGetsColour) {
    std::string text;
    Base::Options o;
    o.filehandle =
        std::make_shared<Tavrel::Output::Callback::Write>([&text](std::string_view t) { text += t; });
    TerminalOutput out(o);
    out.error("failed");
    out.success("ok");
    out.output_partial("a");
    out.output("b");
    EXPECT_EQ(text, "failed\nok\nab\n");
}

// Makes the colour module answer "colour" for a 256-colour terminal, with its
// flag files in a temporary directory; restores everything afterwards.
class ColourTerminal : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_term_ = std::getenv("TERM") ? std::getenv("TERM") : "";
        setenv("TERM", "xterm-256color", 1);
        Tavrel::Output::ColorSupport::is_terminal = [](int) { return true; };
        // The test program counts as the product's own.
        Tavrel::Output::ColorSupport::OWN_PROGRAM = std::filesystem::read_symlink("/proc/self/exe").filename();
        Tavrel::Output::ColorSupport::DISABLE_COLOR_FILES = {dir_ / "nocolor", dir_ / "nocolor2"};
        forget();
        ASSERT_EQ(pipe2(fds_, O_CLOEXEC | O_NONBLOCK), 0);
    }
    void TearDown() override {
        close(fds_[0]);
        close(fds_[1]);
        setenv("TERM", saved_term_.c_str(), 1);
        Tavrel::Output::ColorSupport::is_terminal = saved_is_terminal_;
        Tavrel::Output::ColorSupport::OWN_PROGRAM = saved_program_;
        Tavrel::Output::ColorSupport::DISABLE_COLOR_FILES = saved_files_;
        forget();
    }
    static void forget() {
        Tavrel::Output::ColorSupport::clear_cache();
        Tavrel::Output::Solarize::clear_cache();
    }
    Base::Options to_pipe() {
        Base::Options o;
        o.filehandle = Tavrel::Output::FileHandle::from_fd(fds_[1]);
        return o;
    }
    std::string drain() {
        std::string all;
        char buf[4096];
        ssize_t n;
        while ((n = read(fds_[0], buf, sizeof buf)) > 0)
            all.append(buf, static_cast<std::size_t>(n));
        return all;
    }

    Tavrel::TestSupport::TempDir dir_;
    int fds_[2] = {-1, -1};

  private:
    std::string saved_term_;
    std::function<bool(int)> saved_is_terminal_ = Tavrel::Output::ColorSupport::is_terminal;
    std::string saved_program_ = Tavrel::Output::ColorSupport::OWN_PROGRAM;
    std::vector<std::string> saved_files_ = Tavrel::Output::ColorSupport::DISABLE_COLOR_FILES;
};

TEST_F(ColourTerminal, OutcomesAreColouredPlainLinesAreNot) {
    TerminalOutput out(to_pipe());
    out.error("failed");
    std::string drawn = drain();
    if (drawn.find('\x1b') == std::string::npos)
        GTEST_SKIP() << "the colour module draws no colour in this environment";
    EXPECT_EQ(drawn.find("failed"), drawn.find('m') + 1) << drawn;
    EXPECT_EQ(drawn.back(), '\n');

    out.output("plain");
    EXPECT_EQ(drain(), "plain\n");

    // A partial line and its end are drawn without escapes between the
    // indent and the text.
    auto guard = out.create_indent_guard();
    out.output_partial("a");
    out.output("b");
    EXPECT_EQ(drain(), "\tab\n");
}

TEST_F(ColourTerminal, DisableColorAndFlagFilesTurnItOff) {
    TerminalOutput out(to_pipe());
    out.success("ok");
    if (drain().find('\x1b') == std::string::npos)
        GTEST_SKIP() << "the colour module draws no colour in this environment";

    dir_.write("nocolor", "");
    forget();
    out.success("cached decision");
    EXPECT_NE(drain().find('\x1b'), std::string::npos);
    out._clear_cache();
    out.success("flag file");
    EXPECT_EQ(drain(), "flag file\n");

    TerminalOutput other(to_pipe());
    unlink((dir_ / "nocolor").c_str());
    forget();
    other._disable_color();
    other.error("disabled");
    EXPECT_EQ(drain(), "disabled\n");
}

}  // namespace
