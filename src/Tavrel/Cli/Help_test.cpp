#include "Tavrel/Cli/Help.h"

#include "Tavrel/Service/Verb.h"
#include "Tavrel/Cli/Parseargv.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace Tavrel::Cli::Help {
namespace {

TEST(Help, NamesTheServiceEveryOptionAndTheExitStatuses) {
    const std::string t = text("crond");
    EXPECT_THAT(t, testing::HasSubstr("zidavoveva_crond"));
    EXPECT_THAT(t, testing::HasSubstr("stopcrond"));
    for (const auto& name : option_names()) {
        // Negated forms are shown once, as --no-x.
        if (name.rfind("no", 0) == 0 && name.find('-') == std::string::npos)
            continue;
        EXPECT_THAT(t, testing::HasSubstr("--" + name)) << name;
    }
    // Every verb of the table, by its option and by its bare word.
    const std::string bare = t.substr(t.find("The bare words"));
    for (const auto& row : Tavrel::Service::verbs()) {
        EXPECT_THAT(t, testing::ContainsRegex("(  |, )" + std::string(row.option) + "[ ,]"))
            << row.option;
        EXPECT_THAT(bare.substr(0, bare.find("stand for")),
                    testing::ContainsRegex("[ ,]" + std::string(row.word) + "[ ,]"))
            << row.word;
    }
    for (const char* status : {"0 ", "130", "143", "255"})
        EXPECT_THAT(t, testing::HasSubstr(status));
    EXPECT_THAT(text(""), testing::HasSubstr("zidavoveva_service SERVICE"));
}

TEST(Help, UsageWritesTheTextAndSucceeds) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(usage("sshd"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), text("sshd"));
}

}  // namespace
}  // namespace Tavrel::Cli::Help
