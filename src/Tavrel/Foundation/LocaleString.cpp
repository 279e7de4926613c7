#include "Tavrel/Foundation/LocaleString.h"

#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Regex.h"

#include <unistd.h>

#include <cerrno>
#include <set>

namespace Tavrel::Foundation {

namespace {

int freeze_depth = 0;

std::string arg_text(const LocaleString::Arg& arg) {
    if (arg.is_string())
        return arg.get<std::string>();
    if (arg.is_null())
        return "";
    return arg.dump();
}

// Renders the phrase itself with its arguments substituted, in both
// languages. It is the handle while there is no translation catalogue (a
// catalogue-backed handle replaces it), and the fallback after the
// localisation service failed to load.
class UntranslatedHandle final : public LocaleString::Handle {
  public:
    std::string makevar(const std::string& phrase,
                        const std::vector<LocaleString::Arg>& args) const override {
        return LocaleString::interpolate(phrase, args);
    }
    std::string makethis_base(const std::string& phrase,
                              const std::vector<LocaleString::Arg>& args) const override {
        return LocaleString::interpolate(phrase, args);
    }
};

struct HandleState {
    LocaleString::HandleLoader loader = LocaleString::default_handle_loader();
    std::unique_ptr<LocaleString::Handle> handle;
};

HandleState& handle_state() {
    static HandleState state;
    return state;
}

// One write, straight to descriptor 2: the logger may itself render messages.
void warn_load_failure(const std::string& reason) {
    int saved = errno;
    std::string line = "warning: the localisation service could not be loaded (" + reason +
                       "); messages are shown untranslated.\n";
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    errno = saved;
}

std::set<std::string, std::less<>>& subclass_names() {
    static std::set<std::string, std::less<>> names;
    return names;
}

}  // namespace

LocaleString::LocaleString(std::string phrase, std::vector<Arg> args)
    : LocaleString(std::string(BASE_CLASS), std::move(phrase), std::move(args)) {}

LocaleString::LocaleString(std::string class_name, std::string phrase, std::vector<Arg> args)
    : class_name_(std::move(class_name)), phrase_(std::move(phrase)), args_(std::move(args)) {
    if (phrase_.empty())
        throw PlainError("LocaleString: the phrase is empty");
}

std::string LocaleString::interpolate(std::string_view phrase, const std::vector<Arg>& args) {
    std::string out;
    out.reserve(phrase.size() + 16 * args.size());
    for (std::size_t i = 0; i < phrase.size(); ++i) {
        char c = phrase[i];
        if (c == '~' && i + 1 < phrase.size() &&
            (phrase[i + 1] == '[' || phrase[i + 1] == ']' || phrase[i + 1] == '~')) {
            out += phrase[++i];
            continue;
        }
        if (c == '[' && phrase.substr(i, 2) == "[_") {
            std::size_t close = phrase.find(']', i + 2);
            std::string_view digits = close == std::string_view::npos
                                          ? std::string_view()
                                          : phrase.substr(i + 2, close - i - 2);
            if (!digits.empty() && digits.size() < 6 &&
                digits.find_first_not_of("0123456789") == std::string_view::npos) {
                std::size_t n = std::stoul(std::string(digits));
                if (n >= 1 && n <= args.size())
                    out += arg_text(args[n - 1]);
                i = close;
                continue;
            }
        }
        out += c;
    }
    return out;
}

LocaleString::HandleLoader LocaleString::default_handle_loader() {
    return []() -> std::unique_ptr<Handle> { return std::make_unique<UntranslatedHandle>(); };
}

void LocaleString::set_handle_loader(HandleLoader loader) {
    handle_state().loader = std::move(loader);
    reset_locale();
}

const LocaleString::Handle& LocaleString::handle() {
    HandleState& state = handle_state();
    if (state.handle)
        return *state.handle;
    std::string failure;
    try {
        if (!state.loader)
            throw std::runtime_error("no loader is set");
        state.handle = state.loader();
        if (!state.handle)
            failure = "the loader gave no handle";
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown error";
    }
    if (!state.handle) {
        warn_load_failure(failure);
        state.handle = std::make_unique<UntranslatedHandle>();
    }
    return *state.handle;
}

void LocaleString::reset_locale() {
    handle_state().handle.reset();
}

std::string LocaleString::to_string() const {
    return handle().makevar(phrase_, args_);
}

std::string LocaleString::to_en_string() const {
    return handle().makethis_base(phrase_, args_);
}

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
    nlohmann::ordered_json frozen = nlohmann::ordered_json::array({class_name_, phrase_});
    for (const auto& arg : args_)
        frozen.push_back(arg);
    return frozen;
}

bool LocaleString::is_class_name(std::string_view name) {
    static const Regex in_namespace(R"(^Tavrel::LocaleString(?:::[A-Za-z_]\w*)+$)");
    if (name == BASE_CLASS)
        return true;
    if (subclass_names().count(name) != 0)
        return true;
    return in_namespace.test(name);
}

void LocaleString::register_subclass(std::string name) {
    subclass_names().insert(std::move(name));
}

bool LocaleString::is_frozen(const nlohmann::ordered_json& value) {
    return value.is_array() && value.size() >= 2 && value[0].is_string() &&
           is_class_name(value[0].get_ref<const std::string&>());
}

LocaleString LocaleString::thaw(const nlohmann::ordered_json& frozen) {
    if (!frozen.is_array())
        throw PlainError("LocaleString::thaw: not a list: " +
                         frozen.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    if (!is_frozen(frozen)) {
        throw PlainError("LocaleString::thaw: not a frozen LocaleString: " +
                         frozen.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }
    if (!frozen[1].is_string()) {
        throw PlainError("LocaleString::thaw: the phrase is not a text: " +
                         frozen.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }
    std::vector<Arg> args(frozen.begin() + 2, frozen.end());
    return LocaleString(frozen[0].get<std::string>(), frozen[1].get<std::string>(),
                        std::move(args));
}

LocaleString::FreezeGuard::FreezeGuard() {
    ++freeze_depth;
}
LocaleString::FreezeGuard::~FreezeGuard() {
    --freeze_depth;
}

nlohmann::ordered_json LocaleString::to_json() const {
    if (freeze_depth > 0)
        return freeze();
    return to_string();
}

}  // namespace Tavrel::Foundation
