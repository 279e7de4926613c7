#include "Tavrel/Exception.h"

#include "Tavrel/PlainError.h"
#include "Tavrel/Regex.h"
#include "Tavrel/StackTrace.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>

namespace Tavrel {

namespace {

int suppressor_count = 0;

std::map<std::string, Exception::TypeInfo, std::less<>>& registry() {
    static std::map<std::string, Exception::TypeInfo, std::less<>> types;
    return types;
}

std::string next_id() {
    static std::atomic<unsigned long> counter{0};
    static const std::string prefix = std::to_string(getpid());
    return "XID " + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

std::string_view strip_base(std::string_view name) {
    constexpr std::string_view base = "Tavrel::Exception::";
    if (name.substr(0, base.size()) == base) return name.substr(base.size());
    if (name == Exception::BASE_CLASS) return {};
    return name;
}

// True when `path` equals `ancestor` or lies below it.
bool path_within(std::string_view path, std::string_view ancestor) {
    if (ancestor.empty()) return true;
    if (path.substr(0, ancestor.size()) != ancestor) return false;
    return path.size() == ancestor.size() || path.substr(ancestor.size(), 2) == "::";
}

}  // namespace

Exception::Exception(std::string class_name, Metadata metadata)
    : class_name_(std::move(class_name)), metadata_(std::move(metadata)), id_(next_id()) {
    if (suppressor_count == 0) frames_ = StackTrace::capture(2);
}

Exception Exception::create(std::string_view type_path, Metadata metadata) {
    std::string name(BASE_CLASS);
    if (!type_path.empty()) name += "::" + std::string(type_path);
    Exception e(std::move(name), std::move(metadata));
    if (const TypeInfo* info = find_type(type_path); info && info->build_message) {
        e.message_ = info->build_message(e);
    }
    return e;
}

Exception Exception::create(std::string_view type_path, std::string phrase,
                            std::vector<LocaleString::Arg> args, Metadata metadata) {
    Exception e = create(type_path, std::move(metadata));
    e.message_ = LocaleString(std::move(phrase), std::move(args));
    return e;
}

Exception Exception::create_raw(std::string_view type_path, std::string text, Metadata metadata) {
    Exception e = create(type_path, std::move(metadata));
    e.message_.reset();
    e.raw_message_ = std::move(text);
    return e;
}

std::string Exception::type_path() const { return std::string(strip_base(class_name_)); }

bool Exception::isa(std::string_view name) const {
    std::string_view wanted = strip_base(name);
    std::string own = type_path();
    if (path_within(own, wanted)) return true;
    // Walk declared extra parents, and theirs.
    std::vector<std::string> pending{own};
    for (std::size_t i = 0; i < pending.size() && i < 64; ++i) {
        for (std::string_view p = pending[i]; !p.empty();) {
            if (const TypeInfo* info = find_type(p)) {
                for (const auto& parent : info->extra_parents) {
                    if (path_within(parent, wanted)) return true;
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
    return Regex(pattern).test(class_name_);
}

const Exception::Value* Exception::get(std::string_view key) const {
    for (const auto& [k, v] : metadata_) {
        if (k == key) return &v;
    }
    return nullptr;
}

std::string Exception::get_text(std::string_view key) const {
    const Value* v = get(key);
    if (!v || v->is_null()) return {};
    return v->is_string() ? v->get<std::string>() : v->dump();
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
    return v && v->is_number_integer() ? v->get<int>() : 0;
}

std::string Exception::error_text() const {
    const Value* v = get("error");
    if (!v) return {};
    if (v->is_number_integer()) return std::strerror(v->get<int>());
    return v->is_string() ? v->get<std::string>() : v->dump();
}

std::string Exception::to_string_no_id() const {
    if (raw_message_) return *raw_message_;
    if (message_) return message_->to_string();
    std::string text = class_name_;
    for (const auto& [k, v] : metadata_) text += " " + k + "=" + (v.is_string() ? v.get<std::string>() : v.dump());
    return text;
}

std::string Exception::to_en_string_no_id() const {
    if (raw_message_) return *raw_message_;
    if (message_) return message_->to_en_string();
    return to_string_no_id();
}

std::string Exception::to_string() const { return to_string_no_id() + " (" + id_ + ")"; }
std::string Exception::to_en_string() const { return to_en_string_no_id() + " (" + id_ + ")"; }

const char* Exception::what() const noexcept {
    try {
        what_ = to_string();
    } catch (...) {
        return "Tavrel::Exception";
    }
    return what_.c_str();
}

std::string Exception::longmess() const { return StackTrace::to_text(frames_); }

void Exception::add_auxiliary_exception(const Exception& other) { auxiliary_.push_back(other); }

nlohmann::ordered_json Exception::structured() const {
    nlohmann::ordered_json md = nlohmann::ordered_json::object();
    for (const auto& [k, v] : metadata_) {
        if (!v.is_structured()) md[k] = v;
    }
    nlohmann::ordered_json out = {
        {"class", class_name_}, {"string", to_string()}, {"longmess", longmess()}, {"metadata", md}};
    if (int err = error_number(); err != 0) out["metadata_errno"] = err;
    return out;
}

Exception::StackTraceSuppressor::StackTraceSuppressor() { ++suppressor_count; }
Exception::StackTraceSuppressor::~StackTraceSuppressor() { --suppressor_count; }

void Exception::reset_locale() {}

void Exception::register_type(std::string type_path, TypeInfo info) {
    registry()[std::move(type_path)] = std::move(info);
}

const Exception::TypeInfo* Exception::find_type(std::string_view type_path) {
    auto& types = registry();
    auto it = types.find(type_path);
    return it == types.end() ? nullptr : &it->second;
}

std::string get_string(const std::exception& e) {
    if (auto* ex = dynamic_cast<const Exception*>(&e)) return ex->to_string();
    return e.what();
}

std::string get_string(std::string_view text) { return std::string(text); }

std::string get_string_no_id(const std::exception& e) {
    if (auto* ex = dynamic_cast<const Exception*>(&e)) return ex->to_string_no_id();
    return e.what();
}

namespace {
template <typename F>
std::string from_exception_ptr(std::exception_ptr ptr, F&& render) {
    try {
        if (ptr) std::rethrow_exception(ptr);
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

}  // namespace Tavrel
