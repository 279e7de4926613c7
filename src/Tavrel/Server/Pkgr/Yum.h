// Tavrel::Server::Pkgr::Yum: package versions on RPM-based servers, from the RPM tool.
#pragma once

#include "Tavrel/Server/PackageTools/Rpm.h"
#include "Tavrel/Server/Pkgr/Base.h"

#include <memory>

namespace Tavrel::Server::Pkgr {

class Yum : public Base {
  public:
    using Base::Base;
    std::string name() const override { return "Yum"; }
    VersionMap get_version_for_packages(const std::vector<std::string>& packages) override;
    bool is_installed(std::string_view package) override;
    // PlainError for an empty name.
    bool has_rpm(std::string_view package);

    PackageTools::Rpm& rpm();

  private:
    std::unique_ptr<PackageTools::Rpm> rpm_;
};

}  // namespace Tavrel::Server::Pkgr
