// Tavrel::Server::Type::Role: one function of the server (web serving, mail,
// name service, databases...). An administrator switches a role off; a service
// that belongs only to switched-off roles must not be started.
//
//   const Role& dns = Tavrel::Server::Type::Role::load("DNS");
//   if (!dns.is_enabled()) ...;
//   dns.verify_enabled();   // System::RoleNotEnabled when it is off
//
// Roles are objects of a fixed catalogue, one per role. Each declares its
// short name ("DNS") and, as its own text, its class name
// ("Tavrel::Server::Type::Role::DNS"); neither is cut out of the other, and
// either finds the role. The answers of is_enabled
// (Role::EnabledCache) and is_available are kept for the life of the process.
// A concrete role supplies the hooks; the base's _NAME and _TOUCHFILE are
// abstract and throw AbstractMethod naming the class.
#pragma once

#include "Tavrel/Foundation/LocaleString.h"

#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Server::Type {

class Role {
  public:
    class EnabledCache;
    class TouchFileRole;

    // How a failure to load names a role that is not in the catalogue.
    static constexpr std::string_view CLASS_PREFIX = "Tavrel::Server::Type::Role::";
    // Directory of the roles' disable flags (see TouchFileRole).
    static inline std::string TOUCHFILE_DIR = "/etc/tavrel/roles.disabled";
    // The Postgres role is available only when this global cache fact is true.
    static inline std::string POSTGRES_CACHE_NAME = "postgresql";
    static inline std::string POSTGRES_CACHE_KEY = "is_installed";

    virtual ~Role() = default;
    Role(const Role&) = delete;
    Role& operator=(const Role&) = delete;

    const std::string& class_name() const { return class_name_; }
    // The name the role is known by ("DNS"), as the role declares it.
    const std::string& short_name() const { return short_name_; }

    // 1 when the role is available and switched on; cached per class.
    int is_enabled() const;
    // The cached _is_available answer.
    bool is_available() const;
    // System::RoleNotEnabled ("role": short name) when the role is off.
    void verify_enabled() const;

    virtual std::vector<std::string> SERVICES() const { return {}; }
    virtual std::vector<std::string> RESTART_SERVICES() const { return {}; }
    std::vector<std::string> SERVICE_SUBDOMAINS() const { return _SERVICE_SUBDOMAINS(); }
    std::vector<std::string> RPM_TARGETS() const { return _RPM_TARGETS(); }

    // Hooks for concrete roles.
    virtual Foundation::LocaleString _NAME() const;
    virtual Foundation::LocaleString _DESCRIPTION() const { return _NAME(); }
    virtual std::string _TOUCHFILE() const;
    virtual bool _is_available() const { return true; }
    virtual bool _is_enabled() const { return true; }
    virtual std::vector<std::string> _SERVICE_SUBDOMAINS() const { return {}; }
    virtual std::vector<std::string> _RPM_TARGETS() const { return {}; }

    // The catalogue role of that short or full class name; Module::LoadFailed
    // for a name that is not a role.
    static const Role& load(std::string_view name);
    // Every short name of the catalogue.
    static std::vector<std::string> catalogue_names();
    // Forgets the cached availability answers.
    static void _reset_available_cache();

  protected:
    Role(std::string class_name, std::string short_name)
        : class_name_(std::move(class_name)), short_name_(std::move(short_name)) {}

  private:
    std::string class_name_;
    std::string short_name_;
};

}  // namespace Tavrel::Server::Type
