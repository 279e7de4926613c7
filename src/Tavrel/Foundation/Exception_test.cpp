#include "Tavrel/Foundation/Exception.h"

#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Regex.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>

using Tavrel::Foundation::Exception;

TEST(ExceptionText, GetStringOfTextAndOfException) {
    EXPECT_EQ(Tavrel::Foundation::get_string("plain failure text\n"), "plain failure text\n");
    EXPECT_EQ(Tavrel::Foundation::get_string_no_id("plain"), "plain");

    Exception e = Exception::create("Services::Disabled", {{"service", "exim"}});
    EXPECT_EQ(Tavrel::Foundation::get_string(e), e.to_string());
    EXPECT_EQ(Tavrel::Foundation::get_string_no_id(e), e.to_string_no_id());
    EXPECT_EQ(Tavrel::Foundation::get_string(std::make_exception_ptr(e)), e.to_string());

    Tavrel::Foundation::PlainError plain("a programming fault");
    EXPECT_EQ(Tavrel::Foundation::get_string(plain), "a programming fault");
    EXPECT_EQ(Tavrel::Foundation::get_string(std::make_exception_ptr(std::string("thrown text"))),
              "thrown text");
}

TEST(ExceptionText, IdOnlyInToString) {
    Exception e = Exception::create("Services::IsDown", {{"service", "httpd"}});
    EXPECT_EQ(e.to_string_no_id(), "The service “httpd” is down.");
    EXPECT_EQ(e.to_string(), e.to_string_no_id() + " (error id: " + e.id() + ")");
    EXPECT_EQ(e.to_string_no_id().find(e.id()), std::string::npos);
    EXPECT_STREQ(e.what(), e.to_string().c_str());
    EXPECT_EQ(e.to_en_string(), e.to_string());

    static const Tavrel::Foundation::Regex id_format("^[0-9a-hjkmnp-tv-z]{10}$");
    EXPECT_TRUE(id_format.test(e.id())) << e.id();

    e.set_id("replacement");
    EXPECT_NE(e.to_string().find("(error id: replacement)"), std::string::npos);
    EXPECT_EQ(e.to_string_no_id().find("replacement"), std::string::npos);
}

TEST(ExceptionText, IdsAreDistinct) {
    std::set<std::string> ids;
    for (int i = 0; i < 2000; ++i)
        ids.insert(Exception::create_raw("Timeout", "t").id());
    EXPECT_EQ(ids.size(), 2000u);
}

TEST(ExceptionText, RawTextIsKeptAsIs) {
    Exception e = Exception::create_raw("Module::InvalidName", "“a b” is not a module name [_1]",
                                        {{"name", "a b"}});
    EXPECT_TRUE(e.is_raw());
    EXPECT_EQ(e.locale_message(), nullptr);
    EXPECT_EQ(e.to_string_no_id(), "“a b” is not a module name [_1]");
    EXPECT_EQ(e.get_text("name"), "a b");
}

TEST(ExceptionText, ExplicitPhraseWinsOverTheTypeMessage) {
    Exception e = Exception::create("Param::Invalid", "The port “[_1]” is out of range.", {70000},
                                    {{"name", "port"}, {"value", 70000}});
    EXPECT_EQ(e.to_string_no_id(), "The port “70000” is out of range.");
    EXPECT_EQ(e.get("value")->get<int>(), 70000);
}

TEST(ExceptionText, UnknownTypeStillCarriesMessageAndMetadata) {
    Exception bare = Exception::create("Nowhere::Registered", {{"path", "/etc/x"}, {"error", 2}});
    EXPECT_EQ(bare.class_name(), "Tavrel::Exception::Nowhere::Registered");
    EXPECT_NE(bare.to_string_no_id().find("Nowhere::Registered"), std::string::npos);
    EXPECT_NE(bare.to_string_no_id().find("path=/etc/x"), std::string::npos);
    EXPECT_EQ(bare.get_text("path"), "/etc/x");
    EXPECT_EQ(bare.error_number(), ENOENT);

    Exception phrased =
        Exception::create("Nowhere::Either", "Something odd: [_1]", {"detail"}, {{"key", "value"}});
    EXPECT_EQ(phrased.to_string_no_id(), "Something odd: detail");
    EXPECT_EQ(phrased.get_text("key"), "value");
}

TEST(ExceptionMetadata, ErrorIsNumberAndText) {
    Exception e = Exception::create("Io::ReadFailed", {{"path", "/x"}, {"error", EACCES}});
    EXPECT_EQ(e.error_number(), EACCES);
    EXPECT_EQ(e.error_text(), "Permission denied");

    // An errno that arrived as its text still gives its number.
    Exception t = Exception::create("Io::ReadFailed", {{"error", "No such file or directory"}});
    EXPECT_EQ(t.error_number(), ENOENT);
    EXPECT_EQ(t.error_text(), "No such file or directory");

    Exception none = Exception::create("Io::ReadFailed", {{"path", "/x"}});
    EXPECT_EQ(none.error_number(), 0);
    EXPECT_EQ(none.error_text(), "");
}

TEST(ExceptionMetadata, CreatingKeepsErrno) {
    errno = EMFILE;
    Exception e = Exception::create("Io::OpenFailed", {{"path", "/x"}, {"error", errno}});
    EXPECT_EQ(errno, EMFILE);
    EXPECT_EQ(e.error_number(), EMFILE);
    (void)e.to_string();
    EXPECT_EQ(errno, EMFILE);
}

TEST(ExceptionMetadata, SetReplacesInPlaceAndKeepsOrder) {
    Exception e = Exception::create("Proc::Ended", {{"pid", 12}, {"extra", "a"}});
    e.set("pid", 13);
    e.set("added", true);
    ASSERT_EQ(e.metadata().size(), 3u);
    EXPECT_EQ(e.metadata()[0].first, "pid");
    EXPECT_EQ(e.get("pid")->get<int>(), 13);
    EXPECT_EQ(e.metadata()[2].first, "added");
    EXPECT_EQ(e.get("missing"), nullptr);
    EXPECT_EQ(e.get_text("missing"), "");

    auto md = Exception::to_metadata(nlohmann::ordered_json{{"z", 1}, {"a", "two"}});
    ASSERT_EQ(md.size(), 2u);
    EXPECT_EQ(md[0].first, "z");
    EXPECT_THROW(Exception::to_metadata(nlohmann::ordered_json::array({1})), Tavrel::Foundation::PlainError);
}

TEST(ExceptionStackTrace, SuppressorOnAndOff) {
    Exception before = Exception::create("Services::IsDown", {{"service", "a"}});
    EXPECT_FALSE(before.longmess().empty());
    {
        auto outer = Exception::get_stack_trace_suppressor();
        {
            auto inner = Exception::get_stack_trace_suppressor();
            EXPECT_TRUE(Exception::create("Services::IsDown").longmess().empty());
        }
        EXPECT_TRUE(Exception::create("Services::IsDown").longmess().empty());
    }
    EXPECT_FALSE(Exception::create("Services::IsDown").longmess().empty());
}

TEST(ExceptionStackTrace, SuppressorEndsDuringUnwinding) {
    try {
        auto guard = Exception::get_stack_trace_suppressor();
        throw Exception::create("Services::IsDown", {{"service", "a"}});
    } catch (const Exception& e) {
        EXPECT_TRUE(e.longmess().empty());
    }
    EXPECT_FALSE(Exception::create("Timeout").longmess().empty());
}

TEST(ExceptionClass, IsaFollowsThePath) {
    Exception e = Exception::create("Services::NotInstalled", {{"service", "clamd"}});
    EXPECT_TRUE(e.isa("Services::NotInstalled"));
    EXPECT_TRUE(e.isa("Tavrel::Exception::Services::NotInstalled"));
    EXPECT_TRUE(e.isa("Services"));
    EXPECT_TRUE(e.isa("Tavrel::Exception"));
    EXPECT_FALSE(e.isa("Services::Not"));  // a prefix of a word is not a parent
    EXPECT_FALSE(e.isa("Services::NotInstalled::More"));
    EXPECT_FALSE(e.isa("Io"));
    EXPECT_FALSE(e.isa("Tavrel::UntrustedException"));
}

TEST(ExceptionClass, RegisteredExtraParents) {
    Exception::register_type("Test::Adopted", {nullptr, {"Test::Parent", "Services::IsDown"}});
    Exception e = Exception::create("Test::Adopted");
    EXPECT_TRUE(e.isa("Test::Parent"));
    EXPECT_TRUE(e.isa("Services"));
    // Membership by isa does not make it a failure of a service.
    EXPECT_EQ(e.service_failure(), Exception::ServiceFailure::None);
}

// How the entry program reports each failure follows from its kind.
TEST(ExceptionClass, ServiceFailureKinds) {
    using Kind = Exception::ServiceFailure;
    auto kind = [](const char* type) {
        return Exception::create(type, {{"service", "s"}}).service_failure();
    };
    EXPECT_EQ(kind("Services::Disabled"), Kind::Disabled);
    EXPECT_EQ(kind("Services::NotConfigured"), Kind::Absent);
    EXPECT_EQ(kind("Services::NotInstalled"), Kind::Absent);
    EXPECT_EQ(kind("Services::Unknown"), Kind::Unknown);
    for (const char* failed : {"Services::IsDown", "Services::StartError", "Services::StopError",
                               "Services::RestartError", "Services::ReloadError",
                               "Services::BinaryNotFound", "Services::CommandTimedOut",
                               "Services::RoleNotAllowed"})
        EXPECT_EQ(kind(failed), Kind::Failed) << failed;
    // A kind of the family with no word of its own is what the family is,
    // a finer kind what the kind above it is; other families are faults.
    EXPECT_EQ(kind("Services::NotYetCatalogued"), Kind::Failed);
    EXPECT_EQ(kind("Services::Disabled::Deeper"), Kind::Disabled);
    EXPECT_EQ(kind("Io::OpenFailed"), Kind::None);
    EXPECT_EQ(kind("ServicesX::Thing"), Kind::None);
}

TEST(ExceptionStructured, DropsReferencesAndCarriesErrno) {
    Exception e = Exception::create("Io::OpenFailed",
                                    {{"path", "/etc/shadow"},
                                     {"mode", "<"},
                                     {"error", EACCES},
                                     {"handle", nlohmann::ordered_json::object({{"fd", 3}})},
                                     {"list", nlohmann::ordered_json::array({1, 2})},
                                     {"flag", true}});
    auto s = e.structured();
    EXPECT_EQ(s["class"], "Tavrel::Exception::Io::OpenFailed");
    EXPECT_EQ(s["string"], e.to_string());
    EXPECT_EQ(s["longmess"], e.longmess());
    EXPECT_EQ(s["metadata"].size(), 4u);
    EXPECT_FALSE(s["metadata"].contains("handle"));
    EXPECT_FALSE(s["metadata"].contains("list"));
    EXPECT_EQ(s["metadata"]["path"], "/etc/shadow");
    EXPECT_EQ(s["metadata_errno"], EACCES);

    Exception no_error = Exception::create("Proc::Ended", {{"pid", 5}, {"error", 0}});
    EXPECT_FALSE(no_error.structured().contains("metadata_errno"));
}

TEST(ExceptionAuxiliary, AttachedInOrder) {
    Exception main = Exception::create("Services::StartError", {{"service", "named"}});
    main.add_auxiliary_exception(Exception::create("Io::WriteFailed", {{"length", 3}}));
    main.add_auxiliary_exception(Exception::create_raw("Timeout", "slow"));
    ASSERT_EQ(main.get_auxiliary_exceptions().size(), 2u);
    EXPECT_TRUE(main.get_auxiliary_exceptions()[0].isa("Io"));
    EXPECT_EQ(main.get_auxiliary_exceptions()[1].to_string_no_id(), "slow");
}

TEST(ExceptionRegistry, LaterRegistrationReplacesTheCatalogue) {
    Exception::register_type("Test::Custom", {[](Exception& e) {
                                                  e.set("completed", 1);
                                                  return Tavrel::Foundation::LocaleString("Custom [_1].",
                                                                              {e.get_text("x")});
                                              },
                                              {}});
    Exception e = Exception::create("Test::Custom", {{"x", "value"}});
    EXPECT_EQ(e.to_string_no_id(), "Custom value.");
    EXPECT_EQ(e.get_text("completed"), "1");
    ASSERT_NE(Exception::find_type("Io::OpenFailed"), nullptr);
    EXPECT_EQ(Exception::find_type("Not::There"), nullptr);
}
