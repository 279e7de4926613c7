// Tavrel::Server::Type::Profile::Roles: role questions by short role name
// ("MySQL", "DNS"), and whether a service may run under the server's roles.
//
//   if (!Tavrel::Server::Type::Profile::Roles::is_service_allowed("named")) refuse();
//   Roles::verify_roles_enabled({{"MySQL", "Postgres"}, "any"});
//
// The local mail roles (ENABLED_IN_ALL_ROLES) count as enabled whatever their
// touch files say: every profile needs them.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Server::Type::Profile::Roles {

const std::set<std::string, std::less<>>& ENABLED_IN_ALL_ROLES();

struct Query {
    std::vector<std::string> roles;  // short names
    std::string match;               // "all" (or empty) or "any"
};

int is_role_enabled(std::string_view short_name);
int are_roles_enabled(std::string_view short_name);
int are_roles_enabled(const Query& query);
// System::RolesNotEnabled ("roles": the disabled ones) when the query fails;
// Param::Invalid for a bad match mode; System::RoleNotEnabled for one name.
void verify_roles_enabled(std::string_view short_name);
void verify_roles_enabled(const Query& query);

// 1 when no role governs the service or any governing role is enabled, else 0.
int is_service_allowed(std::string_view service);
// Each optional role class of the profile -> is_role_enabled; Param::Invalid
// for an unknown profile.
std::map<std::string, int> get_optional_roles_for_profile(std::string_view profile);
// Short names of the roles whose SERVICES list the service, in catalogue order.
std::vector<std::string> _get_service_roles(std::string_view service);

}  // namespace Tavrel::Server::Type::Profile::Roles
