#include "Tavrel/Cli/Help.h"

#include "Tavrel/Service/Verb.h"
#include "Tavrel/Cli/Parseargv.h"
#include "Tavrel/Output/Callback/Write.h"
#include "Tavrel/Output/Formatted/Plain.h"

#include <nlohmann/json.hpp>

#include <algorithm>

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

// The usage goes through the run's output object like every other text: as
// itself in text, and as one record under --json, where a program reading
// records must never meet forty plain lines.
TEST(Help, UsageIsTheTextOrOneRecord) {
    std::string plain, json;
    auto capture = [](std::string& into) {
        Output::Base::Options options;
        options.filehandle =
            std::make_shared<Output::Callback::Write>([&into](std::string_view t) { into += t; });
        return options;
    };
    Output::Formatted::Plain text_out(capture(plain));
    EXPECT_EQ(usage(text_out, "sshd"), 0);
    EXPECT_EQ(plain, text("sshd"));

    Output::Base json_out(capture(json));
    EXPECT_EQ(usage(json_out, "sshd"), 0);
    ASSERT_EQ(std::count(json.begin(), json.end(), '\n'), 1) << json;
    const auto record = nlohmann::json::parse(json);
    EXPECT_EQ(record["type"], "out");
    EXPECT_EQ(record["contents"], text("sshd"));
}

}  // namespace
}  // namespace Tavrel::Cli::Help
