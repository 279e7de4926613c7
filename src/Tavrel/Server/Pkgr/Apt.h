// Tavrel::Server::Pkgr::Apt: package versions on Debian-family servers, from dpkg-query.
// Only packages in the installed state count, whatever is wanted of them: a
// package on hold ("hi") is installed, a removed package whose configuration
// files are still present ("rc") is not.
#pragma once

#include "Tavrel/Server/PackageTools/DpkgQuery.h"
#include "Tavrel/Server/Pkgr/Base.h"

#include <memory>
#include <string_view>

namespace Tavrel::Server::Pkgr {

// dpkg-query output format: abbreviated status, package, version, architecture.
inline constexpr std::string_view DPKG_SHOW_FORMAT =
    "${db:Status-Abbrev} ${Package} ${Version} ${Architecture}\n";
inline constexpr std::string_view DPKG_STATUS_FORMAT = "${db:Status-Abbrev}";
// The state letter (second of the abbreviated status) of an installed package.
inline constexpr char INSTALLED_STATE = 'i';

// Whether an abbreviated status ("ii ", "hi ", "rc ") says installed.
bool is_installed_status(std::string_view status_abbrev);

class Apt : public Base {
  public:
    using Base::Base;
    std::string name() const override { return "Apt"; }
    VersionMap get_version_for_packages(const std::vector<std::string>& packages) override;
    bool is_installed(std::string_view package) override;
    VersionMap installed_packages(const std::vector<std::string>& packages);

    // The version map of dpkg-query output in DPKG_SHOW_FORMAT.
    static VersionMap parse_show_output(std::string_view output, bool with_arch_suffix);

    PackageTools::DpkgQuery& binary_dpkg_query();

  private:
    std::unique_ptr<PackageTools::DpkgQuery> dpkg_query_;
};

}  // namespace Tavrel::Server::Pkgr
