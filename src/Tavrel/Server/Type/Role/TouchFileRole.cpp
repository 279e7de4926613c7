#include "Tavrel/Server/Type/Role/TouchFileRole.h"

#include "Tavrel/Foundation/Autodie.h"

#include <cctype>

namespace Tavrel::Server::Type {

Role::TouchFileRole::TouchFileRole(Data data)
    : Role(data.class_name, data.short_name), data_(std::move(data)) {}

std::string Role::TouchFileRole::_TOUCHFILE() const {
    std::string name = data_.short_name;
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return TOUCHFILE_DIR + "/" + name;
}

bool Role::TouchFileRole::check_touchfile() const {
    return Foundation::Autodie::exists(_TOUCHFILE());
}

}  // namespace Tavrel::Server::Type
