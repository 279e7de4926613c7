#include "Tavrel/ZidavovEva/Parseargv.h"

#include "Tavrel/PlainError.h"
#include "Tavrel/ZidavovEva/Argv.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

namespace Tavrel::ZidavovEva {
namespace {

ParsedArgv parse(std::vector<std::string> args, std::vector<std::string>* rest = nullptr) {
    ArgvGuard lend(std::move(args));
    ParsedArgv p = parseargv();
    if (rest)
        *rest = _get_argv();
    return p;
}

TEST(Parseargv, DefaultIsRestartAndWordsStay) {
    std::vector<std::string> rest;
    auto p = parse({"crond", "--verbose", "restart"}, &rest);
    EXPECT_EQ(p.mode, RESTART);
    EXPECT_FALSE(p.check);
    EXPECT_FALSE(p.status);
    EXPECT_EQ(p.verbose, 1);
    EXPECT_THAT(rest, testing::ElementsAre("crond", "restart"));
}

TEST(Parseargv, ActionsAndTheirNegatedForms) {
    EXPECT_EQ(parse({"--stop"}).mode, STOP);
    EXPECT_EQ(parse({"--reload"}).mode, RELOAD);
    EXPECT_EQ(parse({"--stop", "--no-stop"}).mode, RESTART);
    EXPECT_EQ(parse({"--reload", "--noreload"}).mode, RESTART);
    EXPECT_EQ(parse({"--stop", "--start"}).mode, RESTART);
    // --no-restart alone asks for the status.
    auto p = parse({"--no-restart", "--graceful"});
    EXPECT_EQ(p.mode, 0);
    EXPECT_TRUE(p.status);
    EXPECT_FALSE(p.graceful.has_value());
}

TEST(Parseargv, CheckAndStatusWinOverLifecycleOptions) {
    // stopcrond --check: the stop option is appended after the check; a check
    // must never stop the service.
    auto p = parse({"--check", "--stop"});
    EXPECT_TRUE(p.check);
    EXPECT_EQ(p.mode, 0);
    p = parse({"--stop", "--status", "--restart-attempt=2"});
    EXPECT_TRUE(p.status);
    EXPECT_EQ(p.mode, 0);
    EXPECT_FALSE(p.restart_attempt.has_value());
    // A later --restart overrides an earlier --status.
    p = parse({"--status", "--restart"});
    EXPECT_FALSE(p.status);
    EXPECT_EQ(p.mode, RESTART);
}

TEST(Parseargv, LaterVerbosityOverridesEarlier) {
    EXPECT_EQ(parse({"--verbose", "--debug"}).verbose, 2);
    EXPECT_EQ(parse({"--debug", "--verbose"}).verbose, 1);
    EXPECT_EQ(parse({"--verbose", "--no-debug"}).verbose, 0);
    EXPECT_EQ(parse({"--verbose", "--noverbose"}).verbose, 0);
}

TEST(Parseargv, GracefulAttemptAndAbbreviations) {
    auto p = parse({"--no-graceful", "--restart-attempt", "3"});
    EXPECT_EQ(p.graceful, false);
    EXPECT_EQ(p.restart_attempt, "3");
    p = parse({"--grace", "--restart-attempt=x"});
    EXPECT_EQ(p.graceful, true);
    EXPECT_EQ(p.restart_attempt, "x");
    EXPECT_EQ(parse({"--stat"}).status, true);
}

TEST(Parseargv, WordsReadElsewhereAreAccepted) {
    std::vector<std::string> rest;
    auto p = parse({"--force", "--html", "--skip-if-absent", "--systemd-service=cron.service",
                    "--systemd-unit-command", "--ignore-systemd", "--no-fpm-status", "--", "--not-an-option"},
                   &rest);
    EXPECT_EQ(p.mode, RESTART);
    EXPECT_THAT(rest, testing::ElementsAre("--not-an-option"));
}

TEST(Parseargv, UnknownAmbiguousOrIncompleteOptionsAreRefused) {
    // A typo must not fall through to the default action (a restart).
    try {
        parse({"--stauts"});
        FAIL() << "no error";
    } catch (const PlainError& e) {
        EXPECT_THAT(e.what(), testing::HasSubstr("“--stauts”"));
    }
    EXPECT_THROW(parse({"--re"}), PlainError);  // reload, restart, restart-attempt
    EXPECT_THROW(parse({"-x"}), PlainError);
    try {
        parse({"--restart-attempt"});
        FAIL() << "no error";
    } catch (const PlainError& e) {
        EXPECT_THAT(e.what(), testing::HasSubstr("needs a value"));
    }
    // The store is the caller's again after a refusal.
    _set_argv({"kept"});
    EXPECT_THROW(parse({"--bogus"}), PlainError);
    EXPECT_THAT(_get_argv(), testing::ElementsAre("kept"));
}

TEST(Parseargv, CheckModeHeaderOnlyWhenAskedFor) {
    testing::internal::CaptureStdout();
    ::setenv(CHECKMODE_HEADER_ENV.c_str(), "1", 1);
    parse({"--check"});
    parse({"--status"});
    ::setenv(CHECKMODE_HEADER_ENV.c_str(), "0", 1);
    parse({"--check"});
    ::unsetenv(CHECKMODE_HEADER_ENV.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), CHECKMODE_HEADER + "\n");
}

}  // namespace
}  // namespace Tavrel::ZidavovEva
