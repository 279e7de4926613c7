#include "Tavrel/Server/Type/Profile.h"

#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Server/Type/Role.h"

#include <algorithm>
#include <map>

namespace Tavrel::Server::Type::Profile {

namespace {

// The class name the role declares for itself.
std::string role(std::string_view short_name) {
    return Role::load(short_name).class_name();
}

std::vector<std::string> roles(std::initializer_list<std::string_view> names) {
    std::vector<std::string> out;
    for (auto n : names)
        out.push_back(role(n));
    return out;
}

Meta meta(std::vector<std::string> enabled, std::vector<std::string> optional, int experimental) {
    Meta m;
    m.enabled_roles = std::move(enabled);
    m.optional_roles = std::move(optional);
    m.experimental = experimental;
    return m;
}

std::optional<std::string>& current() {
    static std::optional<std::string> c;
    return c;
}

const Meta& meta_of(std::string_view profile) {
    const auto& t = get_meta();
    auto it = t.find(profile);
    if (it == t.end())
        throw Foundation::PlainError("Unknown server profile: " + std::string(profile));
    return it->second;
}

bool contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

}  // namespace

const MetaTable& get_meta() {
    static const MetaTable table = {
        {std::string(COMPLETE),
         meta(roles({"Analytics", "CalendarContact", "DNS", "FTP", "FileStorage", "MailLocal",
                     "MailReceive", "MailSend", "MySQL", "Postgres", "SpamFilter", "WebDisk",
                     "WebServer", "Webmail"}),
              {}, 0)},
        {std::string(POSTAL), meta(roles({"MailLocal", "MailSend", "MailReceive", "SpamFilter",
                                          "Webmail", "CalendarContact"}),
                                   roles({"WebDisk", "MySQL", "Postgres", "Analytics"}), 0)},
        {std::string(RESOLVER),
         meta(roles({"DNS", "MailLocal", "MailSend"}), roles({"MySQL", "Analytics"}), 0)},
        {std::string(LEDGER),
         meta(roles({"MySQL", "MailLocal", "MailSend"}), roles({"Postgres"}), 1)},
    };
    return table;
}

MetaTable get_meta_with_descriptions() {
    static const std::map<std::string, std::pair<std::string, std::string>, std::less<>> text = {
        {std::string(COMPLETE), {"Complete", "Every function of a hosting server."}},
        {std::string(POSTAL), {"Mail", "A mail server: mail delivery, webmail and calendars."}},
        {std::string(RESOLVER), {"DNS", "A name server for the domains of a server cluster."}},
        {std::string(LEDGER), {"Database", "A database server for a server cluster."}},
    };
    MetaTable t = get_meta();
    for (auto& [name, meta] : t) {
        if (auto it = text.find(name); it != text.end()) {
            meta.name.emplace(it->second.first);
            meta.description.emplace(it->second.second);
        }
    }
    return t;
}

const std::vector<std::string>& get_all_possible_roles() {
    static const std::vector<std::string> all = [] {
        const Meta& complete = meta_of(COMPLETE);
        if (!complete.optional_roles.empty()) {
            throw Foundation::PlainError("The COMPLETE profile must not have optional roles");
        }
        return complete.enabled_roles;
    }();
    return all;
}

std::optional<std::vector<std::string>> get_disabled_roles_for_profile(std::string_view profile) {
    const Meta& meta = meta_of(profile);
    std::vector<std::string> disabled;
    for (const std::string& r : get_all_possible_roles()) {
        if (!contains(meta.enabled_roles, r) && !contains(meta.optional_roles, r)) {
            disabled.push_back(r);
        }
    }
    if (disabled.empty())
        return std::nullopt;
    return disabled;
}

std::string get_current_profile() {
    if (current())
        return *current();
    std::map<std::string, int> memo;
    auto enabled = [&memo](const std::string& cls) {
        auto it = memo.find(cls);
        if (it == memo.end())
            it = memo.emplace(cls, Role::load(cls).is_enabled()).first;
        return it->second != 0;
    };
    for (const auto& [name, meta] : get_meta()) {
        if (name == COMPLETE)
            continue;
        auto disabled = get_disabled_roles_for_profile(name).value_or(std::vector<std::string>{});
        if (std::any_of(disabled.begin(), disabled.end(), enabled))
            continue;
        if (!std::all_of(meta.enabled_roles.begin(), meta.enabled_roles.end(), enabled))
            continue;
        current() = name;
        return name;
    }
    current() = std::string(COMPLETE);
    return *current();
}

void _reset_cache() {
    current().reset();
}

bool current_profile_matches(const std::vector<std::string>& profiles) {
    return contains(profiles, get_current_profile());
}

bool current_profile_matches(std::string_view profile) {
    return get_current_profile() == profile;
}

std::vector<std::string> get_service_subdomains_for_profile(std::string_view profile) {
    const Meta& meta = meta_of(profile);
    std::vector<std::string> subs;
    for (const auto* list : {&meta.enabled_roles, &meta.optional_roles}) {
        for (const std::string& cls : *list) {
            for (std::string& s : Role::load(cls).SERVICE_SUBDOMAINS()) {
                if (!contains(subs, s))
                    subs.push_back(std::move(s));
            }
        }
    }
    return subs;
}

}  // namespace Tavrel::Server::Type::Profile
