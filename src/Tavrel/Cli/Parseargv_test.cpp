#include "Tavrel/Cli/Parseargv.h"

#include "Tavrel/Foundation/PlainError.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

namespace Tavrel::Cli {
namespace {

using Tavrel::Service::Verb;

ParsedArgv parse(const std::vector<std::string>& args, const Implied& implied = {}) {
    return parse_options(args, implied);
}

std::string refusal_of(const std::vector<std::string>& args) {
    try {
        parse(args);
    } catch (const Foundation::PlainError& e) {
        return e.what();
    }
    return "(accepted)";
}

TEST(Parseargv, DefaultIsRestartAndWordsStay) {
    auto p = parse({"crond", "--verbose", "restart"});
    EXPECT_EQ(p.verb, Verb::Restart);
    EXPECT_EQ(parse({}).verb, Verb::Restart);
    EXPECT_EQ(p.verbose, 1);
    EXPECT_THAT(p.words, testing::ElementsAre("crond", "restart"));
}

TEST(Parseargv, ActionsAndTheirNegatedForms) {
    EXPECT_EQ(parse({"--stop", "--no-stop"}).verb, Verb::Restart);
    EXPECT_EQ(parse({"--reload", "--noreload"}).verb, Verb::Restart);
    EXPECT_EQ(parse({"--stop", "--start"}).verb, Verb::Start);
    // --no-restart alone asks for the status.
    auto p = parse({"--no-restart", "--graceful"});
    EXPECT_EQ(p.verb, Verb::Status);
    EXPECT_FALSE(p.graceful.has_value());
}

TEST(Parseargv, CheckAndStatusWinOverLifecycleOptions) {
    // stopcrond --check: the stop the name implies comes last; a check must
    // never stop the service.
    auto p = parse({"--check"}, {.stop = true});
    EXPECT_EQ(p.verb, Verb::Check);
    p = parse({"--stop", "--status", "--restart-attempt=2"});
    EXPECT_EQ(p.verb, Verb::Status);
    EXPECT_FALSE(p.restart_attempt.has_value());
    // A check wins over a status, in either order.
    EXPECT_EQ(parse({"--check", "--status"}).verb, Verb::Check);
    EXPECT_EQ(parse({"--status", "--check"}).verb, Verb::Check);
    // A later --restart overrides an earlier --status.
    EXPECT_EQ(parse({"--status", "--restart"}).verb, Verb::Restart);
}

TEST(Parseargv, BareWordsCountAfterEveryOptionAndTheNameLast) {
    // As typed after `service crond status`: a question, not a restart.
    auto p = parse({"status", "--restart"});
    EXPECT_EQ(p.verb, Verb::Status);
    EXPECT_THAT(p.words, testing::ElementsAre("status"));
    EXPECT_EQ(parse({"--stop", "start"}).verb, Verb::Start);
    EXPECT_EQ(parse({"start"}, {.stop = true}).verb, Verb::Stop);
    // The value of an option is no bare word.
    EXPECT_EQ(parse({"--restart-attempt", "stop"}).verb, Verb::Restart);
    EXPECT_TRUE(parse({"html"}).html);
    EXPECT_FALSE(parse({"myhtmld"}).html);
}

// The verb table is the parser's: each verb's option and its bare word ask
// for that verb, after any other verb, and the bare word is an action word.
TEST(Parseargv, EveryVerbsOptionAndBareWordAskForIt) {
    for (const auto& row : Tavrel::Service::verbs()) {
        const std::string option(row.option), word(row.word);
        EXPECT_EQ(parse({option}).verb, row.verb) << option;
        EXPECT_EQ(parse({word}).verb, row.verb) << word;
        EXPECT_TRUE(is_action_word(word)) << word;
        const auto names = option_names();
        EXPECT_NE(std::find(names.begin(), names.end(), option.substr(2)), names.end()) << option;
        if (!row.question) {
            EXPECT_EQ(parse({"--reload", option}).verb, row.verb) << option;
            EXPECT_EQ(parse({option, "--stop"}).verb, Verb::Stop) << option;
        }
    }
    EXPECT_FALSE(is_action_word("crond"));
    EXPECT_FALSE(is_action_word("Restart"));
}

TEST(Parseargv, VerbosityStartsFromTheCallerAndLaterOptionsWin) {
    EXPECT_EQ(parse({}, {.verbose = 1}).verbose, 1);
    EXPECT_EQ(parse({"--no-verbose"}, {.verbose = 1}).verbose, 0);
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
    EXPECT_EQ(parse({"--stat"}).verb, Verb::Status);
}

TEST(Parseargv, EveryOptionHasItsEffectHere) {
    auto p = parse({"--force", "--html", "--skip-if-absent", "--systemd-service=cron.service",
                    "--systemd-unit-command", "--ignore-systemd", "--no-fpm-status", "--json",
                    "--", "--not-an-option"});
    EXPECT_TRUE(p.force && p.html && p.skip_if_absent && p.run.systemd_unit_command &&
                p.run.ignore_systemd && p.json);
    EXPECT_FALSE(p.run.started_by_init);
    EXPECT_FALSE(p.fpm_status);
    EXPECT_EQ(p.systemd_service, "cron.service");
    EXPECT_EQ(p.verb, Verb::Restart);
    EXPECT_THAT(p.words, testing::ElementsAre("--not-an-option"));
    EXPECT_TRUE(parse({"-f"}).force);
    EXPECT_TRUE(parse({"-h"}).help);
    EXPECT_EQ(parse({"--systemd-service", "cron.service", "--stop"}).systemd_service, "cron.service");

    // Each long option, given alone after one of two different starts, changes
    // the outcome: none is accepted and then left without effect.
    const ParsedArgv after_stop = parse({"--stop"});
    const ParsedArgv after_reload = parse({"--reload"}, {.verbose = 1});
    for (const auto& name : option_names()) {
        const std::string given = "--" + name + (option_takes_value(name) ? "=2" : "");
        EXPECT_TRUE(parse({"--stop", given}) != after_stop ||
                    parse({"--reload", given}, {.verbose = 1}) != after_reload)
            << given << " has no effect";
    }
}

// The whole table: every abbreviation of every option either means exactly
// that option (the same outcome as its full spelling) or is refused as
// ambiguous. `zidavoveva_mysql --he` restarted the database: "--he" was
// taken as --help by the parser while the help check looked for "--help".
TEST(Parseargv, EveryAbbreviationMeansItsOptionOrIsRefusedAsAmbiguous) {
    const auto names = option_names();
    const std::set<std::string> exact(names.begin(), names.end());
    auto spelled = [](const std::string& word, const std::string& name) {
        return std::vector<std::string>{"--" + word + (option_takes_value(name) ? "=2" : "")};
    };
    int meant = 0, ambiguous = 0;
    for (const auto& name : names) {
        const ParsedArgv full = parse(spelled(name, name));
        for (std::size_t length = 1; length <= name.size(); ++length) {
            const std::string prefix = name.substr(0, length);
            if (prefix != name && exact.count(prefix))
                continue;  // the full name of another option (--restart of --restart-attempt)
            std::vector<ParsedArgv> meanings;
            for (const auto& other : names) {
                if (!other.starts_with(prefix))
                    continue;
                ParsedArgv m = parse(spelled(other, other));
                if (std::find(meanings.begin(), meanings.end(), m) == meanings.end())
                    meanings.push_back(m);
            }
            const auto args = spelled(prefix, name);
            if (prefix == name || meanings.size() == 1) {
                ++meant;
                EXPECT_EQ(parse(args), full) << args[0] << " does not mean --" << name;
            } else {
                ++ambiguous;
                const std::string why = refusal_of(args);
                EXPECT_THAT(why, testing::HasSubstr("“" + args[0] + "” is ambiguous")) << args[0];
                EXPECT_THAT(why, testing::HasSubstr("--" + name)) << args[0];
            }
        }
    }
    EXPECT_GT(meant, 100);
    EXPECT_GT(ambiguous, 20);

    EXPECT_TRUE(parse({"--he"}).help);
    EXPECT_TRUE(parse({"--hel"}).help);
    EXPECT_THAT(refusal_of({"--h"}), testing::HasSubstr("may be --html, --history or --help"));
    EXPECT_TRUE(parse({"--hi"}).history);
    EXPECT_EQ(parse({"--lim=5"}).limit, "5");
    EXPECT_THAT(refusal_of({"--li"}), testing::HasSubstr("may be --list or --limit"));
    EXPECT_FALSE(parse({"--no-fpm"}).fpm_status);
    EXPECT_TRUE(parse({"--skip"}).skip_if_absent);
    EXPECT_TRUE(parse({"--systemd-unit"}).run.systemd_unit_command);
    EXPECT_TRUE(parse({"--ign"}).run.ignore_systemd);
    EXPECT_TRUE(parse({"--forc"}).force);
    EXPECT_EQ(parse({"--form=prometheus"}).format, "prometheus");
    EXPECT_EQ(parse({"--systemd-s=cron.service"}).systemd_service, "cron.service");
}

TEST(Parseargv, UnknownAmbiguousOrIncompleteOptionsAreRefused) {
    // A typo must not fall through to the default action (a restart).
    EXPECT_THAT(refusal_of({"--stauts"}), testing::HasSubstr("Unknown option “--stauts”"));
    EXPECT_THAT(refusal_of({"--re"}), testing::HasSubstr("ambiguous"));
    EXPECT_THAT(refusal_of({"-x"}), testing::HasSubstr("Unknown option “-x”"));
    EXPECT_THAT(refusal_of({"--restart-attempt"}), testing::HasSubstr("needs a value"));
    EXPECT_THAT(refusal_of({"--verbose=1"}), testing::HasSubstr("“--verbose” takes no value"));
    EXPECT_THAT(refusal_of({"--verb=1"}), testing::HasSubstr("“--verbose” takes no value"));
    EXPECT_THAT(refusal_of({"--"}), "(accepted)");
}

// --word reaches a custom action only when some class offers that very word;
// anything else that is no option stays refused, abbreviations included.
TEST(Parseargv, CustomActionsAsOptionsOnlyWhereAClassOffersThem) {
    Implied offered{.verbose = 1, .custom_action = [](std::string_view w) { return w == "flush"; }};
    ParsedArgv p = parse({"--flush", "zcache", "--verbose"}, offered);
    EXPECT_EQ(p.custom_options, std::vector<std::string>{"flush"});
    EXPECT_EQ(p.words, std::vector<std::string>{"zcache"});  // the service word stays first
    EXPECT_EQ(p.verbose, 1);

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--flus"}, {"--Flush"}, {"--flush=now"}, {"--purge"}, {"-flush"}}) {
        EXPECT_THROW(parse(args, offered), Foundation::PlainError) << args.front();
    }
    EXPECT_THROW(parse({"--flush"}), Foundation::PlainError);  // no class offers anything
    // A word of the parser's own stays the parser's.
    Implied greedy{.custom_action = [](std::string_view) { return true; }};
    EXPECT_EQ(parse({"--stop"}, greedy).verb, Verb::Stop);
    EXPECT_TRUE(parse({"--stop"}, greedy).custom_options.empty());
}

TEST(Parseargv, CheckModeHeaderOnlyWhenAskedFor) {
    ::setenv(CHECKMODE_HEADER_ENV.c_str(), "1", 1);
    EXPECT_TRUE(parse({"--check"}).checkmode_header);
    EXPECT_FALSE(parse({"--status"}).checkmode_header);
    ::setenv(CHECKMODE_HEADER_ENV.c_str(), "0", 1);
    EXPECT_FALSE(parse({"--check"}).checkmode_header);
    ::unsetenv(CHECKMODE_HEADER_ENV.c_str());
    EXPECT_FALSE(parse({"--check"}).checkmode_header);
}

}  // namespace
}  // namespace Tavrel::Cli
