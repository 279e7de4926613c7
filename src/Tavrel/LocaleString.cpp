#include "Tavrel/LocaleString.h"

#include "Tavrel/PlainError.h"

namespace Tavrel {

namespace {

int freeze_depth = 0;

std::string arg_text(const LocaleString::Arg& arg) {
    if (arg.is_string()) return arg.get<std::string>();
    if (arg.is_null()) return "";
    return arg.dump();
}

// Substitutes [_N] placeholders with the arguments, without translation.
std::string fallback_render(const std::string& phrase, const std::vector<LocaleString::Arg>& args) {
    std::string out;
    out.reserve(phrase.size());
    for (std::size_t i = 0; i < phrase.size(); ++i) {
        if (phrase.compare(i, 2, "[_") == 0) {
            std::size_t close = phrase.find(']', i + 2);
            if (close != std::string::npos && close > i + 2) {
                std::string digits = phrase.substr(i + 2, close - i - 2);
                if (digits.find_first_not_of("0123456789") == std::string::npos) {
                    std::size_t n = std::stoul(digits);
                    if (n >= 1 && n <= args.size()) out += arg_text(args[n - 1]);
                    i = close;
                    continue;
                }
            }
        }
        out += phrase[i];
    }
    return out;
}

}  // namespace

LocaleString::LocaleString(std::string phrase, std::vector<Arg> args)
    : phrase_(std::move(phrase)), args_(std::move(args)) {
    if (phrase_.empty()) throw PlainError("LocaleString: the phrase is empty");
}

std::string LocaleString::to_string() const { return fallback_render(phrase_, args_); }

std::string LocaleString::to_en_string() const { return fallback_render(phrase_, args_); }

LocaleString LocaleString::clone_with_args(std::vector<Arg> args) const {
    LocaleString copy = *this;
    copy.args_ = std::move(args);
    return copy;
}

std::vector<LocaleString::Arg> LocaleString::to_list() const {
    std::vector<Arg> list;
    list.reserve(args_.size() + 1);
    list.emplace_back(phrase_);
    list.insert(list.end(), args_.begin(), args_.end());
    return list;
}

nlohmann::ordered_json LocaleString::freeze() const {
    nlohmann::ordered_json frozen = nlohmann::ordered_json::array({class_name(), phrase_});
    for (const auto& arg : args_) frozen.push_back(arg);
    return frozen;
}

bool LocaleString::is_frozen(const nlohmann::ordered_json& value) {
    return value.is_array() && value.size() >= 2 && value[0].is_string() &&
           value[0].get<std::string>() == "Tavrel::LocaleString";
}

LocaleString LocaleString::thaw(const nlohmann::ordered_json& frozen) {
    if (!frozen.is_array()) throw PlainError("LocaleString::thaw: not a list: " + frozen.dump());
    if (!is_frozen(frozen)) throw PlainError("LocaleString::thaw: not a frozen form: " + frozen.dump());
    std::vector<Arg> args(frozen.begin() + 2, frozen.end());
    return LocaleString(frozen[1].get<std::string>(), std::move(args));
}

LocaleString::FreezeGuard::FreezeGuard() { ++freeze_depth; }
LocaleString::FreezeGuard::~FreezeGuard() { --freeze_depth; }

nlohmann::ordered_json LocaleString::to_json() const {
    if (freeze_depth > 0) return freeze();
    return to_string();
}

}  // namespace Tavrel
