#include "Tavrel/Run/ForkSync.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Run/SafeRun/LastStatus.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <stdexcept>

using Tavrel::Run::ForkSync;
using Value = ForkSync::Value;

TEST(ForkSync, ReturnsTheChildsValue) {
    const pid_t me = ::getpid();
    ForkSync run([&] { return Value{{"pid", ::getpid()}, {"list", {1, 2, 3}}}; });
    EXPECT_FALSE(run.had_error());
    EXPECT_EQ(run.CHILD_ERROR(), 0);
    ASSERT_TRUE(run.return_value());
    EXPECT_NE((*run.return_value())["pid"].get<int>(), me);
    EXPECT_EQ((*run.return_value())["pid"].get<int>(), run.pid());
    EXPECT_EQ((*run.return_value())["list"], Value({1, 2, 3}));
    EXPECT_FALSE(run.exception());

    ForkSync list([] { return Value::array({"a", "b"}); });
    EXPECT_EQ(*list.return_value(), Value::array({"a", "b"}));

    EXPECT_EQ(ForkSync::do_in_child([] { return Value(42); }), Value(42));
    EXPECT_EQ(Tavrel::Run::SafeRun::last_child_status(), 0);
}

TEST(ForkSync, BringsBackAnExceptionAsData) {
    ForkSync run = ForkSync::new_quiet([]() -> Value {
        auto e = Tavrel::Foundation::Exception::create_raw("Io::ReadFailed", "could not read /x",
                                               {{"path", "/x"}, {"error", ENOENT}});
        e.set("list", Value::array({1, 2}));
        throw e;
    });
    EXPECT_TRUE(run.had_error());
    EXPECT_FALSE(run.return_value());
    EXPECT_NE(run.CHILD_ERROR(), 0);
    EXPECT_NE(run.exception_text().find("could not read /x"), std::string::npos);
    ASSERT_TRUE(run.structured_exception());
    const Value& s = *run.structured_exception();
    EXPECT_EQ(s["class"], "Tavrel::Exception::Io::ReadFailed");
    EXPECT_EQ(s["metadata"]["path"], "/x");
    EXPECT_FALSE(s["metadata"].contains("list"));
    ASSERT_TRUE(run.untrusted_exception());
    EXPECT_EQ(run.untrusted_exception()->sender_class(), "Tavrel::Exception::Io::ReadFailed");
    EXPECT_EQ(run.untrusted_exception()->error_number(), ENOENT);
    EXPECT_FALSE(run.untrusted_exception()->isa("Io::ReadFailed"));
}

TEST(ForkSync, OtherThrownValues) {
    ForkSync text = ForkSync::new_quiet([]() -> Value { throw std::runtime_error("plain text"); });
    EXPECT_EQ(text.exception_text(), "plain text");
    EXPECT_EQ(text.full_exception_text(), "plain text");
    EXPECT_FALSE(text.structured_exception());
    EXPECT_FALSE(text.untrusted_exception());

    ForkSync data = ForkSync::new_quiet([]() -> Value {
        throw Value::object({{"reason", "busy"}});
    });
    EXPECT_EQ((*data.exception())["reason"], "busy");
    EXPECT_EQ((*data.structured_exception())["reason"], "busy");
    EXPECT_EQ(data.full_exception_text(), "");

    EXPECT_FALSE(ForkSync::do_in_child([]() -> Value { throw std::runtime_error("no"); }));
    EXPECT_NE(Tavrel::Run::SafeRun::last_child_status(), 0);
}

TEST(ForkSync, UndecodableOrMissingMessageIsAnError) {
    // The child dies before it can send anything.
    ForkSync run([]() -> Value { ::_exit(0); });
    EXPECT_TRUE(run.had_error());
    EXPECT_FALSE(run.retrieve_error().empty());
    EXPECT_EQ(run.CHILD_ERROR(), 0);

    // Text that is not valid UTF-8 still arrives.
    ForkSync bytes([] {
        return Value(
            std::string("a\xff"
                        "b"));
    });
    EXPECT_FALSE(bytes.had_error());
}

TEST(ForkSync, ParentCallbackRunsAndItsFailureIsIgnored) {
    bool ran = false;
    ForkSync run = ForkSync::new_with_parent_callback(
        [&] {
            ran = true;
            throw std::runtime_error("ignored");
        },
        [] { return Value("ok"); });
    EXPECT_TRUE(ran);
    EXPECT_EQ(*run.return_value(), "ok");
}
