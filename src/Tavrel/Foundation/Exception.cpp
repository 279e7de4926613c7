#include "Tavrel/Foundation/Exception.h"

#include "Tavrel/Foundation/Exception/Catalogue.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Foundation/StackTrace.h"
#include "Tavrel/Foundation/UntrustedException.h"

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>

namespace Tavrel::Foundation {

namespace {

int suppressor_count = 0;

using Registry = std::map<std::string, Exception::TypeInfo, std::less<>>;

Registry& raw_registry() {
    static Registry types;
    return types;
}

// The catalogue is filled on the first lookup or registration, so a run that
// never raises pays nothing for it.
Registry& registry() {
    static bool loading = false;
    if (!loading) {
        loading = true;
        Exception::Catalogue::register_all();
    }
    return raw_registry();
}

std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Ten base-32 characters (50 bits): random per process, distinct within it
// (splitmix64 is a bijection, so distinct counters give distinct values), and
// a forked child starts a stream of its own.
std::string next_id() {
    static constexpr char ALPHABET[] = "0123456789abcdefghjkmnpqrstvwxyz";
    static std::uint64_t seed = [] {
        std::uint64_t s = 0;
        if (getrandom(&s, sizeof s, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof s)) {
            s = static_cast<std::uint64_t>(
                std::chrono::steady_clock::now().time_since_epoch().count());
        }
        return s;
    }();
    static std::uint64_t counter = 0;
    static pid_t owner = 0;
    pid_t pid = getpid();
    if (pid != owner) {
        seed = splitmix64(seed ^ static_cast<std::uint64_t>(pid));
        owner = pid;
    }
    std::uint64_t value = splitmix64(seed + ++counter);
    std::string id(10, '0');
    for (char& c : id) {
        c = ALPHABET[value & 31];
        value >>= 5;
    }
    return id;
}

std::string_view strip_base(std::string_view name) {
    constexpr std::string_view base = "Tavrel::Exception::";
    if (name.substr(0, base.size()) == base)
        return name.substr(base.size());
    if (name == Exception::BASE_CLASS)
        return {};
    return name;
}

// True when `path` equals `ancestor` or lies below it.
bool path_within(std::string_view path, std::string_view ancestor) {
    if (ancestor.empty())
        return true;
    if (path.substr(0, ancestor.size()) != ancestor)
        return false;
    return path.size() == ancestor.size() || path.substr(ancestor.size(), 2) == "::";
}

std::string value_text(const Exception::Value& v) {
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_null())
        return "";
    return v.dump();
}

// An errno from its text, for "error" values that arrived as text.
int errno_from_text(const std::string& text) {
    if (text.empty())
        return 0;
    if (text.find_first_not_of("0123456789") == std::string::npos && text.size() < 6) {
        return std::stoi(text);
    }
    for (int n = 1; n < 256; ++n) {
        const char* known = strerrordesc_np(n);
        if (known && text == known)
            return n;
    }
    return 0;
}

}  // namespace

// Raising sites often read errno again after building the exception, so
// building one never changes it.
Exception::Exception(std::string class_name, Metadata metadata)
    : class_name_(std::move(class_name)), metadata_(std::move(metadata)) {
    int saved = errno;
    id_ = next_id();
    if (suppressor_count == 0)
        frames_ = StackTrace::capture(2);
    errno = saved;
}

Exception Exception::create_common(std::string_view type_path, Metadata metadata) {
    std::string name(BASE_CLASS);
    if (!type_path.empty())
        name += "::" + std::string(type_path);
    return Exception(std::move(name), std::move(metadata));
}

Exception Exception::create(std::string_view type_path, Metadata metadata) {
    Exception e = create_common(type_path, std::move(metadata));
    if (const TypeInfo* info = find_type(type_path); info && info->build_message) {
        e.message_ = info->build_message(e);
    }
    return e;
}

Exception Exception::create(std::string_view type_path, std::string phrase,
                            std::vector<LocaleString::Arg> args, Metadata metadata) {
    return create_with_message(type_path, LocaleString(std::move(phrase), std::move(args)),
                               std::move(metadata));
}

Exception Exception::create_with_message(std::string_view type_path, LocaleString message,
                                         Metadata metadata) {
    Exception e = create_common(type_path, std::move(metadata));
    e.message_ = std::move(message);
    return e;
}

Exception Exception::create_raw(std::string_view type_path, std::string text, Metadata metadata) {
    Exception e = create_common(type_path, std::move(metadata));
    e.raw_message_ = std::move(text);
    return e;
}

Exception::Metadata Exception::to_metadata(const Value& object) {
    if (!object.is_object())
        throw PlainError("Exception metadata must be a map: " +
                         object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    Metadata md;
    for (auto it = object.begin(); it != object.end(); ++it)
        md.emplace_back(it.key(), it.value());
    return md;
}

std::string Exception::type_path() const {
    return std::string(strip_base(class_name_));
}

Exception::ServiceFailure Exception::service_failure() const {
    // Only the type's own path counts, as a class name pattern did: a type
    // that merely declares a Services kind as an extra parent is no failure
    // of a service.
    const std::string own = type_path();
    for (std::string_view p = own; !p.empty();) {
        if (const TypeInfo* info = find_type(p); info && info->service_failure != ServiceFailure::None)
            return info->service_failure;
        std::size_t cut = p.rfind("::");
        p = cut == std::string_view::npos ? std::string_view() : p.substr(0, cut);
    }
    return ServiceFailure::None;
}

bool Exception::isa(std::string_view name) const {
    std::string_view wanted = strip_base(name);
    if (wanted.substr(0, 8) == "Tavrel::")
        return false;  // another class tree
    std::string own = type_path();
    if (path_within(own, wanted))
        return true;
    // Walk declared extra parents, and theirs.
    std::vector<std::string> pending{own};
    for (std::size_t i = 0; i < pending.size() && i < 64; ++i) {
        for (std::string_view p = pending[i]; !p.empty();) {
            if (const TypeInfo* info = find_type(p)) {
                for (const auto& parent : info->extra_parents) {
                    if (path_within(parent, wanted))
                        return true;
                    pending.push_back(parent);
                }
            }
            std::size_t cut = p.rfind("::");
            p = cut == std::string_view::npos ? std::string_view() : p.substr(0, cut);
        }
    }
    return false;
}

bool Exception::class_matches(std::string_view pattern) const {
    static std::map<std::string, Regex, std::less<>> compiled;
    auto it = compiled.find(pattern);
    if (it == compiled.end())
        it = compiled.emplace(std::string(pattern), Regex(pattern)).first;
    return it->second.test(class_name_);
}

bool Exception::class_matches(const Regex& pattern) const {
    return pattern.test(class_name_);
}

const Exception::Value* Exception::get(std::string_view key) const {
    for (const auto& [k, v] : metadata_) {
        if (k == key)
            return &v;
    }
    return nullptr;
}

std::string Exception::get_text(std::string_view key) const {
    const Value* v = get(key);
    return v ? value_text(*v) : std::string();
}

void Exception::set(std::string key, Value value) {
    for (auto& [k, v] : metadata_) {
        if (k == key) {
            v = std::move(value);
            return;
        }
    }
    metadata_.emplace_back(std::move(key), std::move(value));
}

int Exception::error_number() const {
    const Value* v = get("error");
    if (!v)
        return 0;
    if (v->is_number_integer())
        return v->get<int>();
    if (v->is_string())
        return errno_from_text(v->get<std::string>());
    return 0;
}

std::string Exception::error_text() const {
    const Value* v = get("error");
    if (!v || v->is_null())
        return {};
    if (v->is_number_integer()) {
        int n = v->get<int>();
        const char* known = n > 0 ? strerrordesc_np(n) : nullptr;
        return known ? std::string(known) : "Unknown error " + std::to_string(n);
    }
    return value_text(*v);
}

std::string Exception::to_string_no_id() const {
    if (raw_message_)
        return *raw_message_;
    if (message_)
        return message_->to_string();
    // An unregistered type without a message: say what is known.
    std::string details;
    for (const auto& [k, v] : metadata_) {
        if (v.is_structured())
            continue;
        details += (details.empty() ? "" : ", ") + k + "=" + value_text(v);
    }
    if (details.empty()) {
        return LocaleString("The system reported an error of the type “[_1]”.", {type_path()})
            .to_string();
    }
    return LocaleString("The system reported an error of the type “[_1]” ([_2]).",
                        {type_path(), details})
        .to_string();
}

std::string Exception::to_en_string_no_id() const {
    if (message_)
        return message_->to_en_string();
    return to_string_no_id();
}

std::string Exception::to_string() const {
    return to_string_no_id() + " (error id: " + id_ + ")";
}
std::string Exception::to_en_string() const {
    return to_en_string_no_id() + " (error id: " + id_ + ")";
}

const char* Exception::what() const noexcept {
    try {
        what_ = to_string();
    } catch (...) {
        return "Tavrel::Exception";
    }
    return what_.c_str();
}

std::string Exception::longmess() const {
    return StackTrace::to_text(frames_);
}

void Exception::add_auxiliary_exception(const Exception& other) {
    auxiliary_.push_back(other);
}

nlohmann::ordered_json Exception::structured() const {
    nlohmann::ordered_json md = nlohmann::ordered_json::object();
    for (const auto& [k, v] : metadata_) {
        if (!v.is_structured())
            md[k] = v;
    }
    nlohmann::ordered_json out = {{"class", class_name_},
                                  {"string", to_string()},
                                  {"longmess", longmess()},
                                  {"metadata", md}};
    if (int err = error_number(); err > 0)
        out["metadata_errno"] = err;
    return out;
}

Exception::StackTraceSuppressor::StackTraceSuppressor() {
    ++suppressor_count;
}
Exception::StackTraceSuppressor::~StackTraceSuppressor() {
    --suppressor_count;
}

void Exception::reset_locale() {
    LocaleString::reset_locale();
}

void Exception::register_type(std::string type_path, TypeInfo info) {
    registry()[std::move(type_path)] = std::move(info);
}

const Exception::TypeInfo* Exception::find_type(std::string_view type_path) {
    auto& types = registry();
    auto it = types.find(type_path);
    return it == types.end() ? nullptr : &it->second;
}

std::string get_string(const std::exception& e) {
    if (auto* ex = dynamic_cast<const Exception*>(&e))
        return ex->to_string();
    return e.what();
}

std::string get_string(std::string_view text) {
    return std::string(text);
}

std::string get_string_no_id(const std::exception& e) {
    if (auto* ex = dynamic_cast<const Exception*>(&e))
        return ex->to_string_no_id();
    if (auto* ux = dynamic_cast<const UntrustedException*>(&e))
        return ux->to_string_no_id();
    return e.what();
}

std::string get_string_no_id(std::string_view text) {
    return std::string(text);
}

namespace {
template <typename F>
std::string from_exception_ptr(std::exception_ptr ptr, F&& render) {
    try {
        if (ptr)
            std::rethrow_exception(ptr);
    } catch (const std::exception& e) {
        return render(e);
    } catch (const std::string& s) {
        return s;
    } catch (const char* s) {
        return s;
    } catch (...) {
        return "unknown error";
    }
    return {};
}
}  // namespace

std::string get_string(std::exception_ptr e) {
    return from_exception_ptr(e, [](const std::exception& x) { return get_string(x); });
}

std::string get_string_no_id(std::exception_ptr e) {
    return from_exception_ptr(e, [](const std::exception& x) { return get_string_no_id(x); });
}

}  // namespace Tavrel::Foundation
