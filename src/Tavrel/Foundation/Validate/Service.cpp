#include "Tavrel/Foundation/Validate/Service.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/Validate/FilesystemNodeName.h"

#include <string>

namespace Tavrel::Foundation::Validate::Service {

namespace {
bool allowed(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-' || c == '@';
}
}  // namespace

bool is_valid(std::string_view name) {
    // A service name is first a plain directory entry, then a narrower one.
    if (!FilesystemNodeName::is_valid(name) || name.size() > MAX_LENGTH)
        return false;
    if (name.front() == '.' || name.front() == '-')
        return false;
    if (name.find("..") != std::string_view::npos)
        return false;
    for (char c : name) {
        if (!allowed(c))
            return false;
    }
    return true;
}

void assert_valid(std::string_view name) {
    if (is_valid(name))
        return;
    throw Exception::create("Param::Invalid",
                                    {{"name", "service"}, {"value", std::string(name)}});
}

}  // namespace Tavrel::Foundation::Validate::Service
