#include "Tavrel/Foundation/Validate/FilesystemNodeName.h"

#include "Tavrel/Foundation/Exception.h"

namespace Tavrel::Foundation::Validate::FilesystemNodeName {

namespace {

// The reason a name is invalid, or empty when it is valid.
std::string_view problem(std::string_view name) {
    if (name.empty())
        return "empty";
    if (name == "." || name == "..")
        return "reserved";
    if (name.size() > MAX_LENGTH)
        return "too_long";
    if (name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
        return "forbidden_character";
    }
    return {};
}

}  // namespace

bool is_valid(std::string_view name) {
    return problem(name).empty();
}

void validate_or_die(std::string_view name) {
    std::string_view reason = problem(name);
    if (reason.empty())
        return;
    Exception::Metadata metadata{{"name", std::string(name)}, {"reason", std::string(reason)}};
    if (reason == "too_long")
        metadata.emplace_back("limit", MAX_LENGTH);
    throw Exception::create("Name::Invalid", std::move(metadata));
}

}  // namespace Tavrel::Foundation::Validate::FilesystemNodeName
