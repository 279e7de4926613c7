// Tavrel::Foundation::Exception: every failure of the system is one of these, a typed
// error with a message, ordered metadata, an instance id and a stack trace.
//
// The type is data: the full class name is "Tavrel::Exception::" plus a type
// path such as "Io::OpenFailed". Membership follows the path ("Io::OpenFailed"
// isa "Io" isa the base), plus any extra parents a registered type declares.
//
//   throw Tavrel::Foundation::Exception::create("Io::OpenFailed",
//                                   {{"path", path}, {"mode", "<"}, {"error", errno}});
//   ...
//   catch (const Tavrel::Foundation::Exception& e) {
//       if (e.isa("Services")) ...;                       // membership
//       if (e.service_failure() == Exception::ServiceFailure::Absent) ...;
//       int err = e.error_number();                       // from "error"
//   }
//
// Registered types build their message from the metadata (the catalogue is
// registered on the first create, never at start-up); an unregistered type
// path still yields an exception carrying the message and metadata.
//
// Text forms: to_string() is "<message> (error id: <id>)", to_string_no_id()
// the message alone. The id is ten lower-case base-32 characters, random per
// process and distinct within it.
#pragma once

#include "Tavrel/Foundation/LocaleString.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Tavrel::Foundation {

class Regex;

class Exception : public std::exception {
  public:
    using Value = nlohmann::ordered_json;
    // Values are strings, numbers or booleans; arrays and objects stand for
    // references (handles, lists) and never leave the process.
    using Metadata = std::vector<std::pair<std::string, Value>>;
    static constexpr std::string_view BASE_CLASS = "Tavrel::Exception";

    // Message built by the type from its metadata.
    static Exception create(std::string_view type_path, Metadata metadata = {});
    // Explicit localisable message; metadata stored as given.
    static Exception create(std::string_view type_path, std::string phrase,
                            std::vector<LocaleString::Arg> args, Metadata metadata = {});
    static Exception create_with_message(std::string_view type_path, LocaleString message,
                                         Metadata metadata = {});
    // A finished plain text, never localised.
    static Exception create_raw(std::string_view type_path, std::string text,
                                Metadata metadata = {});
    // Metadata from a JSON object (a map), keeping its order.
    static Metadata to_metadata(const Value& object);

    // What a failure of the service itself (as opposed to a fault of the
    // system) is to the run that meets it. The Services kinds declare theirs
    // where the catalogue registers them, so that the entry program sorts
    // failures by kind rather than by the text of their class names.
    enum class ServiceFailure {
        None,      // not a service failure (or, registered, "as its family says")
        Failed,    // an action on the service failed: shown with its status
        Disabled,  // switched off: said in one line
        Absent,    // not installed or not configured: one line; with
                   // --skip-if-absent the run succeeds
        Unknown,   // no such service: the caller's mistake, said without an error id
    };

    const std::string& class_name() const { return class_name_; }
    std::string type_path() const;
    // The kind declared by the registration of this exception's type or,
    // when it declares none, of the nearest type above it on its path
    // ("Services::StartError::X" is what "Services::StartError" is). None
    // for types outside the Services family.
    ServiceFailure service_failure() const;
    // `name` may be a full class name or a type path ("Services::Disabled").
    bool isa(std::string_view name) const;
    // Matches the full class name against a pattern (compiled once per pattern).
    bool class_matches(std::string_view pattern) const;
    bool class_matches(const Regex& pattern) const;

    const Value* get(std::string_view key) const;      // nullptr when absent
    std::string get_text(std::string_view key) const;  // "" when absent
    bool has(std::string_view key) const { return get(key) != nullptr; }
    void set(std::string key, Value value);
    const Metadata& metadata() const { return metadata_; }
    // The errno held in "error" (a number, digits, or an errno text), 0 when none.
    int error_number() const;
    // The text of "error": the system's text for an errno, a text as given.
    std::string error_text() const;

    const std::string& id() const { return id_; }
    void set_id(std::string id) { id_ = std::move(id); }

    // The localisable message, or nullptr for a raw or message-less exception.
    const LocaleString* locale_message() const { return message_ ? &*message_ : nullptr; }
    bool is_raw() const { return raw_message_.has_value(); }

    std::string to_string() const;  // message and id
    std::string to_string_no_id() const;
    std::string to_locale_string() const { return to_string(); }
    std::string to_locale_string_no_id() const { return to_string_no_id(); }
    std::string to_en_string() const;
    std::string to_en_string_no_id() const;
    const char* what() const noexcept override;

    std::string longmess() const;  // empty when created under a suppressor

    void add_auxiliary_exception(const Exception& other);
    const std::vector<Exception>& get_auxiliary_exceptions() const { return auxiliary_; }

    // The map that crosses a process boundary: class, string (to_string),
    // longmess, metadata (non-reference values only) and, when "error" holds
    // a non-zero errno, metadata_errno.
    nlohmann::ordered_json structured() const;

    // While at least one guard lives, new exceptions capture no stack trace.
    class StackTraceSuppressor {
      public:
        StackTraceSuppressor();
        ~StackTraceSuppressor();
        StackTraceSuppressor(const StackTraceSuppressor&) = delete;
        StackTraceSuppressor& operator=(const StackTraceSuppressor&) = delete;
    };
    [[nodiscard]] static std::unique_ptr<StackTraceSuppressor> get_stack_trace_suppressor() {
        return std::make_unique<StackTraceSuppressor>();
    }

    // Drops the cached localisation handle so the next rendering sees a changed locale.
    static void reset_locale();

    // Type registry. `build_message` makes the default message from the
    // metadata (and may check or complete it); `extra_parents` lists further
    // type paths this type is a member of; `service_failure` what it is to a
    // run (None: what the type above it says). A later registration replaces
    // an earlier one, the built-in catalogue's included.
    struct TypeInfo {
        std::function<LocaleString(Exception&)> build_message;
        std::vector<std::string> extra_parents;
        ServiceFailure service_failure = ServiceFailure::None;
    };
    static void register_type(std::string type_path, TypeInfo info);
    static const TypeInfo* find_type(std::string_view type_path);

    // The built-in catalogue (Tavrel/Foundation/Exception/Catalogue.h).
    struct Catalogue;

  protected:
    Exception(std::string class_name, Metadata metadata);

  private:
    static Exception create_common(std::string_view type_path, Metadata metadata);

    std::string class_name_;
    Metadata metadata_;
    std::optional<LocaleString> message_;
    std::optional<std::string> raw_message_;
    std::string id_;
    std::shared_ptr<const std::vector<void*>> frames_;
    std::vector<Exception> auxiliary_;
    mutable std::string what_;
};

// Any thrown value as text: an exception's to_string(), a plain text unchanged.
std::string get_string(const std::exception& e);
std::string get_string(std::string_view text);
std::string get_string(std::exception_ptr e);
std::string get_string_no_id(const std::exception& e);
std::string get_string_no_id(std::string_view text);
std::string get_string_no_id(std::exception_ptr e);

}  // namespace Tavrel::Foundation
