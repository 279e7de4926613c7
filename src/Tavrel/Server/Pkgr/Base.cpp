#include "Tavrel/Server/Pkgr/Base.h"

#include "Tavrel/Foundation/PlainError.h"

namespace Tavrel::Server::Pkgr {

std::string Base::name() const {
    throw Foundation::PlainError("Every package-manager class must say its name");
}

std::optional<std::string> Base::get_package_version(std::string_view package) {
    if (package.empty())
        throw Foundation::PlainError("get_package_version needs a package name");
    VersionMap versions = get_version_for_packages({std::string(package)});
    auto it = versions.find(std::string(package));
    if (it == versions.end())
        return std::nullopt;
    return it->second;
}

}  // namespace Tavrel::Server::Pkgr
