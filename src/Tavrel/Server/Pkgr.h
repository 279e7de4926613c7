// Tavrel::Server::Pkgr: which version of a system package is installed, on Debian- and
// RPM-based servers alike. One back-end object per process, made on first use
// by `factory` from the platform fact that names the package-query class.
//
//   if (auto v = Tavrel::Server::Pkgr::get_package_version("exim4")) ...installed...
#pragma once

#include "Tavrel/Server/Pkgr/Base.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Server::Pkgr {

// A back-end by class name ("Apt", "Yum"); PlainError for another name.
std::unique_ptr<Base> create(std::string_view class_name, Base::Options options = {});
// The back-end the platform facts name; when they cannot tell, the one whose
// query tool is installed.
std::unique_ptr<Base> default_factory();
inline std::function<std::unique_ptr<Base>()> factory = default_factory;

// The process's back-end, made on first use.
Base& instance();
// Drops the process's back-end (the next use calls factory again).
void reset_instance();

std::optional<std::string> get_package_version(std::string_view package);
bool is_installed(std::string_view package);
VersionMap get_version_for_packages(const std::vector<std::string>& packages);

}  // namespace Tavrel::Server::Pkgr
