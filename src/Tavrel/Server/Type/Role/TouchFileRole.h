// Tavrel::Server::Type::Role::TouchFileRole: a role switched off by the
// presence of its touch file, TOUCHFILE_DIR/<short name in lower case>.
// Every role of the catalogue is one of these.
#pragma once

#include "Tavrel/Server/Type/Role.h"

#include <string>
#include <vector>

namespace Tavrel::Server::Type {

class Role::TouchFileRole : public Role {
  public:
    struct Data {
        std::string class_name;  // shown, never read back
        std::string short_name;
        std::string name;         // localisable phrase
        std::string description;  // localisable phrase
        std::vector<std::string> services;
        std::vector<std::string> restart_services;
        std::vector<std::string> service_subdomains;
        std::vector<std::string> rpm_targets;
    };

    explicit TouchFileRole(Data data);

    // Whether the touch file exists; Io::* exceptions for errors other than ENOENT.
    bool check_touchfile() const;
    bool _is_enabled() const override { return !check_touchfile(); }
    std::string _TOUCHFILE() const override;
    Foundation::LocaleString _NAME() const override { return Foundation::LocaleString(data_.name); }
    Foundation::LocaleString _DESCRIPTION() const override { return Foundation::LocaleString(data_.description); }
    std::vector<std::string> SERVICES() const override { return data_.services; }
    std::vector<std::string> RESTART_SERVICES() const override { return data_.restart_services; }
    std::vector<std::string> _SERVICE_SUBDOMAINS() const override {
        return data_.service_subdomains;
    }
    std::vector<std::string> _RPM_TARGETS() const override { return data_.rpm_targets; }

  private:
    Data data_;
};

}  // namespace Tavrel::Server::Type
