#include "Tavrel/Foundation/Exception/Catalogue.h"

namespace Tavrel::Foundation {

void Exception::Catalogue::register_all() {
    register_io();
    register_child();
    register_general();
    register_process();
    register_services();
}

void Exception::Catalogue::add(std::string type_path,
                               std::function<LocaleString(Exception&)> build,
                               ServiceFailure service_failure) {
    register_type(std::move(type_path), TypeInfo{std::move(build), {}, service_failure});
}

std::string Exception::Catalogue::text(const Exception& e,
                                       std::initializer_list<std::string_view> keys) {
    for (std::string_view key : keys) {
        if (const Value* v = e.get(key); v && !v->is_null())
            return e.get_text(key);
    }
    return {};
}

bool Exception::Catalogue::flag(const Exception& e, std::string_view key) {
    const Value* v = e.get(key);
    if (!v || v->is_null())
        return false;
    if (v->is_boolean())
        return v->get<bool>();
    if (v->is_number())
        return v->get<double>() != 0;
    if (v->is_string())
        return !v->get<std::string>().empty() && v->get<std::string>() != "0";
    return true;
}

bool Exception::Catalogue::has_error(const Exception& e) {
    const Value* v = e.get("error");
    if (!v || v->is_null())
        return false;
    if (v->is_number())
        return v->get<double>() != 0;
    if (v->is_string())
        return !v->get<std::string>().empty();
    return false;
}

LocaleString Exception::Catalogue::because(const Exception& e, std::string phrase,
                                           std::vector<LocaleString::Arg> args) {
    if (!has_error(e))
        return LocaleString(phrase + ".", std::move(args));
    args.emplace_back(e.error_text());
    phrase += " because of an error: [_" + std::to_string(args.size()) + "]";
    return LocaleString(std::move(phrase), std::move(args));
}

}  // namespace Tavrel::Foundation
