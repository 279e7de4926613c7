// Tavrel::Foundation::UntrustedException: an exception that a child process reported,
// rebuilt in the parent from its structured form (Exception::structured()).
//
// It carries the sender's class name, text, stack trace and plain metadata,
// but it is not an instance of the sender's class: isa() is true only for
// "Tavrel::UntrustedException", and class_name() is that name. A catcher that
// wants to act on the child's class must look at sender_class() on purpose.
//
//   auto ux = Tavrel::Foundation::UntrustedException::from_structured(message["_structured_exception"]);
//   log(ux.to_string());                    // the child's own text
//   if (ux.sender_class() == "...") ...;     // an explicit, informed choice
#pragma once

#include "Tavrel/Foundation/Exception.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <string>
#include <string_view>

namespace Tavrel::Foundation {

class UntrustedException : public std::exception {
  public:
    static constexpr std::string_view CLASS = "Tavrel::UntrustedException";

    UntrustedException(std::string sender_class, std::string text, std::string longmess,
                       Exception::Metadata metadata);
    // From the map {class, string, longmess, metadata, metadata_errno}. A
    // non-zero metadata_errno becomes the "error" entry. Throws a plain error
    // when the value is not a map with a text "class".
    static UntrustedException from_structured(const nlohmann::ordered_json& structured);

    std::string class_name() const { return std::string(CLASS); }
    const std::string& sender_class() const { return sender_class_; }
    bool isa(std::string_view name) const { return name == CLASS; }

    const std::string& to_string() const { return text_; }  // the sender's text
    std::string to_string_no_id() const;  // without the sender's error id, when it has one
    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& longmess() const { return longmess_; }

    const Exception::Metadata& metadata() const { return metadata_; }
    const Exception::Value* get(std::string_view key) const;
    std::string get_text(std::string_view key) const;
    int error_number() const;  // the errno in "error", 0 when none

  private:
    std::string sender_class_;
    std::string text_;
    std::string longmess_;
    Exception::Metadata metadata_;
};

}  // namespace Tavrel::Foundation
