// Tavrel::Foundation::LocaleString: a localisable message, a phrase with numbered
// placeholders and its arguments, rendered only when it is shown.
//
//   Tavrel::Foundation::LocaleString msg("The service “[_1]” is down.", {"httpd"});
//   std::string text = msg.to_string();      // current locale
//   std::string en = msg.to_en_string();     // base language
//
// Phrase syntax: [_1], [_2], ... stand for the arguments (a missing argument
// renders as nothing); ~[, ~] and ~~ give a literal [, ] and ~.
//
// Rendering goes through one process-wide localisation handle, obtained on the
// first rendering (never at start-up) and kept until reset_locale(). When the
// handle cannot be loaded, one warning naming the load error goes to standard
// error and a fallback renderer substitutes the arguments without translation.
//
// Frozen form (for caches and messages between processes): a JSON list
// [class name, phrase, args...]. The class name is "Tavrel::LocaleString" or a
// subclass's name: a name registered with register_subclass(), or any name in
// the "Tavrel::LocaleString::" namespace.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Foundation {

class LocaleString {
  public:
    using Arg = nlohmann::ordered_json;  // a string or a number
    static constexpr std::string_view BASE_CLASS = "Tavrel::LocaleString";

    // Throws a plain error (Tavrel::Foundation::PlainError) for an empty phrase.
    explicit LocaleString(std::string phrase, std::vector<Arg> args = {});
    virtual ~LocaleString() = default;

    const std::string& phrase() const { return phrase_; }
    const std::vector<Arg>& args() const { return args_; }
    // The class name kept as data, so copies, clones and thawed forms keep it.
    virtual std::string class_name() const { return class_name_; }

    std::string to_string() const;     // in the current locale (makevar)
    std::string to_en_string() const;  // in the base language (makethis_base)
    // Same class and phrase, the new arguments replacing all the old ones.
    LocaleString clone_with_args(std::vector<Arg> args) const;
    std::vector<Arg> to_list() const;  // phrase followed by the arguments

    nlohmann::ordered_json freeze() const;
    static bool is_frozen(const nlohmann::ordered_json& value);
    // Throws a plain error naming the value when it is not a frozen form.
    static LocaleString thaw(const nlohmann::ordered_json& frozen);

    // Whether `name` is this class or a subclass of it.
    static bool is_class_name(std::string_view name);
    static void register_subclass(std::string name);

    // While at least one returned guard lives, JSON encoding of a LocaleString
    // (to_json() and nlohmann conversions) gives the frozen form; otherwise the
    // rendered text.
    class [[nodiscard]] FreezeGuard final {
      public:
        FreezeGuard();
        ~FreezeGuard();
        FreezeGuard(const FreezeGuard&) = delete;
        FreezeGuard& operator=(const FreezeGuard&) = delete;
    };
    [[nodiscard]] static FreezeGuard set_json_to_freeze() { return {}; }
    nlohmann::ordered_json to_json() const;

    // The localisation handle: renders a phrase with its arguments.
    class Handle {
      public:
        virtual ~Handle() = default;
        virtual std::string makevar(const std::string& phrase,
                                    const std::vector<Arg>& args) const = 0;
        virtual std::string makethis_base(const std::string& phrase,
                                          const std::vector<Arg>& args) const = 0;
    };
    // Loads the localisation service; throws (any std::exception, whose text
    // names the error) when it cannot. Replacing it drops the cached handle.
    using HandleLoader = std::function<std::unique_ptr<Handle>()>;
    static void set_handle_loader(HandleLoader loader);
    static HandleLoader default_handle_loader();
    // The process-wide handle, loaded on first use.
    static const Handle& handle();
    // Drops the cached handle so the next rendering picks up a changed locale.
    static void reset_locale();

    // Placeholder substitution without translation (the fallback's makevar).
    static std::string interpolate(std::string_view phrase, const std::vector<Arg>& args);

  protected:
    // For subclasses: the class name they report.
    LocaleString(std::string class_name, std::string phrase, std::vector<Arg> args);

  private:
    std::string class_name_;
    std::string phrase_;
    std::vector<Arg> args_;
};

// nlohmann conversion, so a LocaleString inside a JSON document is encoded as
// set_json_to_freeze() decides.
template <typename BasicJsonType>
void to_json(BasicJsonType& j, const LocaleString& s) {
    j = BasicJsonType(s.to_json());
}

}  // namespace Tavrel::Foundation
