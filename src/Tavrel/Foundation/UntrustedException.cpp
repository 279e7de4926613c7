#include "Tavrel/Foundation/UntrustedException.h"

#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Regex.h"

namespace Tavrel::Foundation {

UntrustedException::UntrustedException(std::string sender_class, std::string text,
                                       std::string longmess, Exception::Metadata metadata)
    : sender_class_(std::move(sender_class)),
      text_(std::move(text)),
      longmess_(std::move(longmess)),
      metadata_(std::move(metadata)) {}

UntrustedException UntrustedException::from_structured(const nlohmann::ordered_json& structured) {
    if (!structured.is_object() || !structured.contains("class") ||
        !structured["class"].is_string()) {
        throw PlainError("UntrustedException: not a structured exception: " +
                         structured.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }
    auto text_of = [&](const char* key) {
        auto it = structured.find(key);
        if (it == structured.end() || it->is_null())
            return std::string();
        return it->is_string() ? it->get<std::string>() : it->dump();
    };
    Exception::Metadata metadata;
    if (auto it = structured.find("metadata"); it != structured.end() && it->is_object()) {
        for (auto entry = it->begin(); entry != it->end(); ++entry) {
            // References never cross the boundary; drop any that did.
            if (!entry.value().is_structured())
                metadata.emplace_back(entry.key(), entry.value());
        }
    }
    if (auto it = structured.find("metadata_errno");
        it != structured.end() && it->is_number_integer() && it->get<int>() > 0) {
        bool replaced = false;
        for (auto& [k, v] : metadata) {
            if (k == "error") {
                v = it->get<int>();
                replaced = true;
            }
        }
        if (!replaced)
            metadata.emplace_back("error", it->get<int>());
    }
    return UntrustedException(structured["class"].get<std::string>(), text_of("string"),
                              text_of("longmess"), std::move(metadata));
}

std::string UntrustedException::to_string_no_id() const {
    static const Regex id_suffix(R"( \(error id: [0-9a-z]+\)$)");
    return id_suffix.replace(text_, "");
}

const Exception::Value* UntrustedException::get(std::string_view key) const {
    for (const auto& [k, v] : metadata_) {
        if (k == key)
            return &v;
    }
    return nullptr;
}

std::string UntrustedException::get_text(std::string_view key) const {
    const Exception::Value* v = get(key);
    if (!v || v->is_null())
        return {};
    return v->is_string() ? v->get<std::string>() : v->dump();
}

int UntrustedException::error_number() const {
    const Exception::Value* v = get("error");
    return v && v->is_number_integer() ? v->get<int>() : 0;
}

}  // namespace Tavrel::Foundation
