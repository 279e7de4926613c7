#include "Tavrel/Server/Pkgr/Yum.h"

#include "Tavrel/Foundation/PlainError.h"

namespace Tavrel::Server::Pkgr {

PackageTools::Rpm& Yum::rpm() {
    if (!rpm_)
        rpm_ = std::make_unique<PackageTools::Rpm>();
    return *rpm_;
}

VersionMap Yum::get_version_for_packages(const std::vector<std::string>& packages) {
    VersionMap versions;
    for (auto& [name, version] : rpm().get_version(packages, with_arch_suffix())) {
        if (version)
            versions[name] = *version;
    }
    return versions;
}

bool Yum::has_rpm(std::string_view package) {
    if (package.empty())
        throw Foundation::PlainError("has_rpm needs a package name");
    auto versions = rpm().get_version({std::string(package)});
    return versions.contains(std::string(package));
}

bool Yum::is_installed(std::string_view package) {
    return has_rpm(package);
}

}  // namespace Tavrel::Server::Pkgr
