#include "Tavrel/Server/Pkgr.h"

#include "Tavrel/Run/Binaries.h"
#include "Tavrel/Config/OS.h"
#include "Tavrel/Server/Pkgr/Apt.h"
#include "Tavrel/Server/Pkgr/Yum.h"
#include "Tavrel/Foundation/PlainError.h"

#include <unistd.h>

namespace Tavrel::Server::Pkgr {

namespace {
std::unique_ptr<Base>& slot() {
    static std::unique_ptr<Base> pkgr;
    return pkgr;
}
}  // namespace

std::unique_ptr<Base> create(std::string_view class_name, Base::Options options) {
    if (class_name == "Apt")
        return std::make_unique<Apt>(options);
    if (class_name == "Yum")
        return std::make_unique<Yum>(options);
    throw Foundation::PlainError("Unknown package-manager class \"" + std::string(class_name) + "\"");
}

std::unique_ptr<Base> default_factory() {
    try {
        const std::string& module = Config::OS::package_manager_module();
        if (!module.empty())
            return create(module);
    } catch (const std::exception&) {
        // Unknown platform: decide by the query tool that is present.
    }
    std::string dpkg = *Run::Binaries::path("dpkg-query");
    return create(::access(dpkg.c_str(), X_OK) == 0 ? "Apt" : "Yum");
}

Base& instance() {
    auto& pkgr = slot();
    if (!pkgr)
        pkgr = factory();
    if (!pkgr)
        throw Foundation::PlainError("The package-manager factory made no object");
    return *pkgr;
}

void reset_instance() {
    slot().reset();
}

std::optional<std::string> get_package_version(std::string_view package) {
    return instance().get_package_version(package);
}

bool is_installed(std::string_view package) {
    return instance().is_installed(package);
}

VersionMap get_version_for_packages(const std::vector<std::string>& packages) {
    return instance().get_version_for_packages(packages);
}

}  // namespace Tavrel::Server::Pkgr
