#include "Tavrel/Server/Type/Profile/Roles.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Server/Type/Profile.h"
#include "Tavrel/Server/Type/Role.h"
#include "Tavrel/Foundation/Validate/AnyAllMatcher.h"

#include <algorithm>

namespace Tavrel::Server::Type::Profile::Roles {

const std::set<std::string, std::less<>>& ENABLED_IN_ALL_ROLES() {
    static const std::set<std::string, std::less<>> s = {
        Role::load("MailLocal").class_name(),
        Role::load("MailSend").class_name(),
    };
    return s;
}

namespace {
// Only a short name counts here, as the role declares it.
bool in_all_roles(std::string_view short_name) {
    for (const std::string& cls : ENABLED_IN_ALL_ROLES()) {
        if (Role::load(cls).short_name() == short_name)
            return true;
    }
    return false;
}
}  // namespace

int is_role_enabled(std::string_view short_name) {
    if (in_all_roles(short_name))
        return 1;
    return Role::load(short_name).is_enabled();
}

int are_roles_enabled(std::string_view short_name) {
    return is_role_enabled(short_name);
}

int are_roles_enabled(const Query& query) {
    return Foundation::Validate::AnyAllMatcher::match({query.roles, query.match},
                                          [](const std::string& r) { return is_role_enabled(r); });
}

void verify_roles_enabled(std::string_view short_name) {
    if (in_all_roles(short_name))
        return;
    Role::load(short_name).verify_enabled();
}

void verify_roles_enabled(const Query& query) {
    std::string mode = query.match.empty() ? "all" : query.match;
    if (mode != "all" && mode != "any") {
        throw Foundation::Exception::create(
            "Param::Invalid", "The “[_1]” mode must be “[_2]” or “[_3]”.", {"match", "all", "any"},
            {{"name", "match"}, {"value", query.match}});
    }
    std::vector<std::string> disabled;
    for (const std::string& r : query.roles) {
        if (!is_role_enabled(r))
            disabled.push_back(r);
    }
    bool fails = mode == "all" ? !disabled.empty()
                               : !query.roles.empty() && disabled.size() == query.roles.size();
    if (!fails)
        return;
    std::string list;
    for (const std::string& r : disabled)
        list += (list.empty() ? "" : ", ") + r;
    throw Foundation::Exception::create("System::RolesNotEnabled",
                                    "These server roles are not enabled: [_1].", {list},
                                    {{"roles", disabled}});
}

std::vector<std::string> _get_service_roles(std::string_view service) {
    std::vector<std::string> out;
    for (const std::string& cls : get_all_possible_roles()) {
        const Role& role = Role::load(cls);
        auto services = role.SERVICES();
        if (std::find(services.begin(), services.end(), service) != services.end()) {
            out.push_back(role.short_name());
        }
    }
    return out;
}

int is_service_allowed(std::string_view service) {
    std::vector<std::string> governing = _get_service_roles(service);
    if (governing.empty())
        return 1;
    for (const std::string& r : governing) {
        if (Role::load(r).is_enabled())
            return 1;
    }
    return 0;
}

std::map<std::string, int> get_optional_roles_for_profile(std::string_view profile) {
    const auto& meta = get_meta();
    auto it = meta.find(profile);
    if (it == meta.end()) {
        throw Foundation::Exception::create("Param::Invalid",
                                        {{"name", "profile"}, {"value", std::string(profile)}});
    }
    std::map<std::string, int> out;
    for (const std::string& cls : it->second.optional_roles) {
        out[cls] = is_role_enabled(Role::load(cls).short_name());
    }
    return out;
}

}  // namespace Tavrel::Server::Type::Profile::Roles
