// Tavrel::Exception: every failure of the system is one of these, a typed
// error with a message, ordered metadata, an instance id and a stack trace.
//
// The type is data: the full class name is "Tavrel::Exception::" plus a type
// path such as "Io::OpenFailed". Membership follows the path ("Io::OpenFailed"
// isa "Io" isa the base), plus any extra parents a registered type declares.
//
//   throw Tavrel::Exception::create("Io::OpenFailed",
//                                   {{"path", path}, {"mode", "<"}, {"error", errno}});
//   ...
//   catch (const Tavrel::Exception& e) {
//       if (e.isa("Services")) ...;                       // membership
//       if (e.class_matches(R"(^Tavrel::Exception::Services?::)")) ...;
//       int err = e.error_number();                       // from "error"
//   }
//
// Registered types build their message from the metadata; an unregistered
// type path still yields an exception carrying the message and metadata.
#pragma once

#include "Tavrel/LocaleString.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Tavrel {

class Exception : public std::exception {
public:
    using Value = nlohmann::ordered_json;
    using Metadata = std::vector<std::pair<std::string, Value>>;
    static constexpr std::string_view BASE_CLASS = "Tavrel::Exception";

    // Message built by the type from its metadata.
    static Exception create(std::string_view type_path, Metadata metadata = {});
    // Explicit localisable message; metadata stored as given.
    static Exception create(std::string_view type_path, std::string phrase,
                            std::vector<LocaleString::Arg> args, Metadata metadata = {});
    // A finished plain text, never localised.
    static Exception create_raw(std::string_view type_path, std::string text,
                                Metadata metadata = {});

    const std::string& class_name() const { return class_name_; }
    std::string type_path() const;
    // `name` may be a full class name or a type path ("Services::Disabled").
    bool isa(std::string_view name) const;
    bool class_matches(std::string_view pattern) const;

    const Value* get(std::string_view key) const;  // nullptr when absent
    std::string get_text(std::string_view key) const;  // "" when absent
    void set(std::string key, Value value);
    const Metadata& metadata() const { return metadata_; }
    int error_number() const;  // errno held in "error", 0 when none
    std::string error_text() const;

    const std::string& id() const { return id_; }
    void set_id(std::string id) { id_ = std::move(id); }

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

    // The map that crosses a process boundary (class, string, longmess,
    // metadata, metadata_errno).
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
    // type paths this type is a member of.
    struct TypeInfo {
        std::function<LocaleString(Exception&)> build_message;
        std::vector<std::string> extra_parents;
    };
    static void register_type(std::string type_path, TypeInfo info);
    static const TypeInfo* find_type(std::string_view type_path);

protected:
    Exception(std::string class_name, Metadata metadata);

private:
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
std::string get_string_no_id(std::exception_ptr e);

}  // namespace Tavrel
