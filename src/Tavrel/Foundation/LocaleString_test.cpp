#include "Tavrel/Foundation/LocaleString.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/PlainError.h"

#include <gtest/gtest.h>

using Tavrel::Foundation::LocaleString;
using json = nlohmann::ordered_json;

namespace {

// A subclass known only by registration, not by its name's namespace.
class Note : public LocaleString {
  public:
    static constexpr const char* NAME = "Tavrel::Notes::Note";
    Note(std::string phrase, std::vector<Arg> args) : LocaleString(NAME, phrase, args) {}
};

// Restores the real loader whatever a test did to it.
class LocaleStringLoader : public ::testing::Test {
  protected:
    void TearDown() override {
        LocaleString::set_handle_loader(LocaleString::default_handle_loader());
    }
};

}  // namespace

TEST(LocaleStringRender, PlaceholdersAndEscapes) {
    LocaleString s("“[_2]” before “[_1]”, [_1] again, ~[_1~] literal, [_3] missing, ~~ tilde",
                   {"a", 7});
    EXPECT_EQ(s.to_string(), "“7” before “a”, a again, [_1] literal,  missing, ~ tilde");
    EXPECT_EQ(s.to_en_string(), s.to_string());
    EXPECT_EQ(LocaleString::interpolate("[_x] [_] [_1 [", {"v"}), "[_x] [_] [_1 [");
    EXPECT_EQ(LocaleString::interpolate("~/home ~x", {}), "~/home ~x");
}

TEST(LocaleStringRender, EmptyPhraseIsRefused) {
    EXPECT_THROW(LocaleString(""), Tavrel::Foundation::PlainError);
}

TEST(LocaleStringForms, CloneWithArgsKeepsPhraseAndClass) {
    Note note("Disk [_1] is at [_2]%.", {"sda", 91});
    LocaleString clone = note.clone_with_args({"sdb"});
    EXPECT_EQ(clone.class_name(), Note::NAME);
    EXPECT_EQ(clone.phrase(), note.phrase());
    ASSERT_EQ(clone.args().size(), 1u);
    EXPECT_EQ(clone.to_string(), "Disk sdb is at %.");
    EXPECT_EQ(note.args().size(), 2u);  // the original is untouched
    EXPECT_EQ(note.to_list(),
              (std::vector<LocaleString::Arg>{"Disk [_1] is at [_2]%.", "sda", 91}));
}

TEST(LocaleStringForms, IsFrozen) {
    EXPECT_TRUE(LocaleString::is_frozen(json::array({"Tavrel::LocaleString", "phrase"})));
    EXPECT_TRUE(LocaleString::is_frozen(json::array({"Tavrel::LocaleString", "p [_1]", 1})));
    EXPECT_TRUE(LocaleString::is_frozen(json::array({"Tavrel::LocaleString::Bold", "p"})));

    EXPECT_FALSE(LocaleString::is_frozen(json::array({"Tavrel::LocaleString"})));
    EXPECT_FALSE(LocaleString::is_frozen(json::array({"Tavrel::Exception", "phrase"})));
    EXPECT_FALSE(LocaleString::is_frozen(json::array({"Tavrel::LocaleStringy", "phrase"})));
    EXPECT_FALSE(LocaleString::is_frozen(json::array({42, "phrase"})));
    EXPECT_FALSE(LocaleString::is_frozen(json("Tavrel::LocaleString")));
    EXPECT_FALSE(LocaleString::is_frozen(json{{"Tavrel::LocaleString", "phrase"}}));
    EXPECT_FALSE(LocaleString::is_frozen(json()));

    // A subclass outside the namespace counts once it is registered.
    static int runs = 0;  // registration lasts for the process; repeated runs need a new name
    const std::string late = "Tavrel::Notes::RegisteredLate" + std::to_string(++runs);
    EXPECT_FALSE(LocaleString::is_frozen(json::array({late, "phrase"})));
    LocaleString::register_subclass(late);
    EXPECT_TRUE(LocaleString::is_frozen(json::array({late, "phrase"})));
}

TEST(LocaleStringForms, FreezeThawRoundTrip) {
    LocaleString::register_subclass(Note::NAME);
    Note note("Port [_1] on “[_2]”.", {25, "exim"});
    json frozen = note.freeze();
    EXPECT_EQ(frozen, json::array({Note::NAME, "Port [_1] on “[_2]”.", 25, "exim"}));
    LocaleString back = LocaleString::thaw(frozen);
    EXPECT_EQ(back.class_name(), Note::NAME);
    EXPECT_EQ(back.to_string(), "Port 25 on “exim”.");
}

TEST(LocaleStringForms, ThawRefusesNamingTheValue) {
    try {
        LocaleString::thaw(json("just text"));
        FAIL() << "thaw accepted a text";
    } catch (const Tavrel::Foundation::PlainError& e) {
        EXPECT_NE(std::string(e.what()).find("just text"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("not a list"), std::string::npos);
    }
    EXPECT_THROW(LocaleString::thaw(json::array({"Other::Class", "p"})), Tavrel::Foundation::PlainError);
    EXPECT_THROW(LocaleString::thaw(json::array({"Tavrel::LocaleString", 5})), Tavrel::Foundation::PlainError);
    EXPECT_THROW(LocaleString::thaw(json::array({"Tavrel::LocaleString", ""})), Tavrel::Foundation::PlainError);
}

TEST(LocaleStringForms, JsonEncodingFollowsTheFreezeGuard) {
    LocaleString s("Hello [_1]", {"world"});
    EXPECT_EQ(json(s), json("Hello world"));
    {
        auto guard = LocaleString::set_json_to_freeze();
        EXPECT_EQ(json(s), json::array({"Tavrel::LocaleString", "Hello [_1]", "world"}));
        nlohmann::json plain = {{"message", s}};  // the unordered JSON type as well
        EXPECT_EQ(plain["message"][1], "Hello [_1]");
    }
    EXPECT_EQ(json(s).dump(), "\"Hello world\"");
}

TEST_F(LocaleStringLoader, FallbackAfterExactlyOneWarning) {
    int loads = 0;
    LocaleString::set_handle_loader([&]() -> std::unique_ptr<LocaleString::Handle> {
        ++loads;
        throw std::runtime_error("catalogue missing");
    });
    testing::internal::CaptureStderr();
    std::string first = LocaleString("Service “[_1]” on port [_2]", {"ftpd", 21}).to_string();
    std::string second = LocaleString("Second [_1]", {"x"}).to_en_string();
    std::string third =
        Tavrel::Foundation::Exception::create("Services::Disabled", {{"service", "ftpd"}}).to_string_no_id();
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(first, "Service “ftpd” on port 21");
    EXPECT_EQ(second, "Second x");
    EXPECT_EQ(third, "The service “ftpd” is disabled.");
    EXPECT_EQ(loads, 1);
    EXPECT_NE(err.find("catalogue missing"), std::string::npos) << err;
    EXPECT_EQ(err.find("warning"), err.rfind("warning")) << "more than one warning: " << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

TEST_F(LocaleStringLoader, HandleIsLoadedOnceUntilResetLocale) {
    struct Upper : LocaleString::Handle {
        std::string makevar(const std::string& p,
                            const std::vector<LocaleString::Arg>& a) const override {
            std::string s = LocaleString::interpolate(p, a);
            for (char& c : s)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return s;
        }
        std::string makethis_base(const std::string& p,
                                  const std::vector<LocaleString::Arg>& a) const override {
            return LocaleString::interpolate(p, a);
        }
    };
    int loads = 0;
    LocaleString::set_handle_loader([&]() -> std::unique_ptr<LocaleString::Handle> {
        ++loads;
        return std::make_unique<Upper>();
    });
    LocaleString s("down [_1]", {"now"});
    EXPECT_EQ(s.to_string(), "DOWN NOW");
    EXPECT_EQ(s.to_en_string(), "down now");
    auto e = Tavrel::Foundation::Exception::create("Services::IsDown", {{"service", "x"}});
    EXPECT_EQ(e.to_en_string_no_id(), "The service “x” is down.");
    EXPECT_EQ(e.to_locale_string_no_id(), "THE SERVICE “X” IS DOWN.");
    EXPECT_EQ(loads, 1);
    Tavrel::Foundation::Exception::reset_locale();
    EXPECT_EQ(s.to_string(), "DOWN NOW");
    EXPECT_EQ(loads, 2);
}
