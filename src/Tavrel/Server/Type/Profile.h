// Tavrel::Server::Type::Profile: named sets of server roles. A profile lists
// the roles it needs switched on and the roles it may have on; every other
// role must be off. The current profile is the one whose pattern this server
// matches, or COMPLETE (every role) when none does.
//
//   if (Tavrel::Server::Type::Profile::get_current_profile() == "RESOLVER") ...
//
// Roles are named by class name here ("Tavrel::Server::Type::Role::DNS").
#pragma once

#include "Tavrel/Foundation/LocaleString.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Server::Type::Profile {

inline constexpr std::string_view COMPLETE = "COMPLETE";
inline constexpr std::string_view POSTAL = "POSTAL";
inline constexpr std::string_view RESOLVER = "RESOLVER";
inline constexpr std::string_view LEDGER = "LEDGER";

struct Meta {
    std::vector<std::string> enabled_roles;
    std::vector<std::string> optional_roles;
    int experimental = 0;
    // Filled by get_meta_with_descriptions only.
    std::optional<Foundation::LocaleString> name;
    std::optional<Foundation::LocaleString> description;
};
using MetaTable = std::map<std::string, Meta, std::less<>>;

const MetaTable& get_meta();
MetaTable get_meta_with_descriptions();

// The current profile, cached for the process.
std::string get_current_profile();
void _reset_cache();
bool current_profile_matches(const std::vector<std::string>& profiles);
bool current_profile_matches(std::string_view profile);

// The possible roles a profile neither enables nor allows, in catalogue order;
// nothing when there are none. Tavrel::Foundation::PlainError for an unknown profile.
std::optional<std::vector<std::string>> get_disabled_roles_for_profile(std::string_view profile);
// Every role: the COMPLETE profile's enabled roles (PlainError when the table
// gives COMPLETE optional or disabled roles).
const std::vector<std::string>& get_all_possible_roles();
// The service subdomains of the profile's enabled and optional roles.
std::vector<std::string> get_service_subdomains_for_profile(std::string_view profile);

}  // namespace Tavrel::Server::Type::Profile
