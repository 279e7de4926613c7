// Tavrel::Run::ForkSync: runs a function in a forked child, waits for it, and
// brings back its return value, or what it threw, as JSON through a pipe.
// Nothing the child does can run the parent's clean-up or reach the parent
// as a live object: a thrown Tavrel::Foundation::Exception comes back as its structured
// form and is rebuilt as a Tavrel::Foundation::UntrustedException.
//
//   Tavrel::Run::ForkSync run([] { drop_privileges(); return Value(read_user_file()); });
//   if (run.had_error()) log(run.exception_text());
//   else use(*run.return_value());
//
//   auto v = Tavrel::Run::ForkSync::do_in_child([] { return Value(42); });  // nothing on failure
//
// The message the child sends: {"_return": [value]} on success, otherwise
// {"_exception", "_full_exception_text", "_structured_exception", "_metadata"}:
// - a Tavrel::Foundation::Exception: its text, its full text, and its structured form
//   (class, string, longmess, plain metadata, metadata_errno);
// - a thrown JSON value (a map or a list): the value itself, twice;
// - anything else: its text, twice, no structure.
#pragma once

#include "Tavrel/Run/ChildErrorStringifier.h"
#include "Tavrel/Foundation/UntrustedException.h"

#include <sys/types.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>

namespace Tavrel::Run {

class ForkSync : public ChildErrorStringifier {
  public:
    using Value = nlohmann::ordered_json;
    using Function = std::function<Value()>;

    // Runs `function` in a child and returns once the child has been reaped.
    explicit ForkSync(const Function& function);
    // `parent` runs in the parent while the child works; its failures are ignored.
    static ForkSync new_with_parent_callback(const std::function<void()>& parent,
                                             const Function& function);
    // As the constructor, without the child's report of its error on stderr.
    static ForkSync new_quiet(const Function& function);

    // Runs `function` in a child, leaves its wait status as the last child
    // status, and returns its value; nothing when the child failed, threw or
    // its message could not be read. Never throws for a failure of the child.
    static std::optional<Value> do_in_child(const Function& function);

    // The function's value (nothing when it did not return one).
    const std::optional<Value>& return_value() const { return return_; }
    // What the child threw: a text, or the thrown JSON value; nothing when it did not throw.
    const std::optional<Value>& exception() const { return exception_; }
    // What the child threw, as text ("" when it did not throw).
    std::string exception_text() const;
    const std::string& full_exception_text() const { return full_exception_text_; }
    // The structured form sent by the child (a map with "class" for an
    // exception object, the value itself for a thrown map or list).
    const std::optional<Value>& structured_exception() const { return structured_exception_; }
    // The child's exception object rebuilt, when it threw one.
    const std::optional<Foundation::UntrustedException>& untrusted_exception() const { return untrusted_; }
    // A failure to read or decode the child's message ("" when none).
    const std::string& retrieve_error() const { return retrieve_err_; }
    pid_t pid() const { return pid_; }
    // True when the wait status is non-zero, the function threw, or the
    // message could not be read.
    bool had_error() const;

  private:
    ForkSync() = default;
    void run(const std::function<void()>* parent, const Function& function, bool quiet);
    void take_message(const Value& message);

    pid_t pid_ = -1;
    std::string retrieve_err_;
    std::optional<Value> return_;
    std::optional<Value> exception_;
    std::string full_exception_text_;
    std::optional<Value> structured_exception_;
    std::optional<Foundation::UntrustedException> untrusted_;
};

}  // namespace Tavrel::Run
