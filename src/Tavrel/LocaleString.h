// Tavrel::LocaleString: a localisable message, a phrase with numbered
// placeholders and its arguments, rendered only when it is shown.
//
//   Tavrel::LocaleString msg("The service “[_1]” is down.", {"httpd"});
//   std::string text = msg.to_string();
//
// Placeholders are [_1], [_2], ... ; the fallback renderer substitutes them
// without translation when no localisation handle can be had.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace Tavrel {

class LocaleString {
public:
    using Arg = nlohmann::ordered_json;  // a string or a number

    // Throws a plain error (Tavrel::PlainError) for an empty phrase.
    explicit LocaleString(std::string phrase, std::vector<Arg> args = {});
    virtual ~LocaleString() = default;

    const std::string& phrase() const { return phrase_; }
    const std::vector<Arg>& args() const { return args_; }
    virtual std::string class_name() const { return "Tavrel::LocaleString"; }

    std::string to_string() const;     // in the current locale
    std::string to_en_string() const;   // in the base language
    LocaleString clone_with_args(std::vector<Arg> args) const;
    std::vector<Arg> to_list() const;   // phrase followed by the arguments

    // Frozen form: [class name, phrase, args...].
    nlohmann::ordered_json freeze() const;
    static bool is_frozen(const nlohmann::ordered_json& value);
    static LocaleString thaw(const nlohmann::ordered_json& frozen);

    // While the returned guard lives, to_json() gives the frozen form instead
    // of the rendered text.
    class FreezeGuard {
    public:
        FreezeGuard();
        ~FreezeGuard();
        FreezeGuard(const FreezeGuard&) = delete;
        FreezeGuard& operator=(const FreezeGuard&) = delete;
    };
    [[nodiscard]] static FreezeGuard set_json_to_freeze() { return {}; }
    nlohmann::ordered_json to_json() const;

private:
    std::string phrase_;
    std::vector<Arg> args_;
};

}  // namespace Tavrel
