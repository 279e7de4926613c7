#include "Tavrel/Server/Type/Role.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Run/GlobalCache.h"
#include "Tavrel/Server/Type/Role/EnabledCache.h"
#include "Tavrel/Server/Type/Role/TouchFileRole.h"

#include <map>
#include <memory>

namespace Tavrel::Server::Type {

namespace {

using Data = Role::TouchFileRole::Data;

// PostgreSQL is an optional install: the role exists only where it is installed.
class Postgres final : public Role::TouchFileRole {
  public:
    using TouchFileRole::TouchFileRole;
    bool _is_available() const override {
        auto fact = Run::GlobalCache::data(POSTGRES_CACHE_NAME, POSTGRES_CACHE_KEY);
        if (!fact)
            return false;
        if (fact->is_boolean())
            return fact->get<bool>();
        if (fact->is_number())
            return fact->get<double>() != 0;
        if (fact->is_string()) {
            std::string s = fact->get<std::string>();
            return !s.empty() && s != "0";
        }
        return false;
    }
};

using List = std::vector<std::string>;

Data role(std::string class_name, std::string short_name, std::string name, std::string description,
          List services = {}, List restart = {}, List subdomains = {}, List rpm_targets = {}) {
    return Data{std::move(class_name),  std::move(short_name), std::move(name),
                std::move(description), std::move(services),   std::move(restart),
                std::move(subdomains),  std::move(rpm_targets)};
}

// Every role of the system; the COMPLETE profile enables all of them.
std::vector<Data> catalogue_data() {
    return {
        role("Tavrel::Server::Type::Role::Analytics", "Analytics", "Analytics",
             "Collects the usage statistics of the server.", {"hubstatsd"}),
        role("Tavrel::Server::Type::Role::CalendarContact", "CalendarContact",
             "Calendars and Contacts", "Serves calendars and address books to mail users.",
             {"hubdavd"}, {"hubdavd"}, {"calendar", "contacts"}),
        role("Tavrel::Server::Type::Role::DNS", "DNS", "DNS",
             "Serves the DNS zones of the server's domains.",
             {"dns", "named", "bind", "pdns", "nsd"}, {}, {}, {"bind9", "pdns-server", "nsd"}),
        role("Tavrel::Server::Type::Role::FTP", "FTP", "FTP", "Serves files over FTP.",
             {"ftpd", "proftpd", "pure-ftpd"}),
        role("Tavrel::Server::Type::Role::FileStorage", "FileStorage", "File Storage",
             "Keeps the users' files on this server."),
        role("Tavrel::Server::Type::Role::MailLocal", "MailLocal", "Local Mail",
             "Delivers mail to mailboxes on this server.", {"exim", "lmtp"}),
        role("Tavrel::Server::Type::Role::MailReceive", "MailReceive", "Receive Mail",
             "Receives mail from other servers and serves it to users.",
             {"hubdavd", "hubgreyd", "imap", "pop", "lmtp", "mailman", "clamd"}, {"hubdavd"}),
        role("Tavrel::Server::Type::Role::MailSend", "MailSend", "Send Mail",
             "Sends mail to other servers.", {"exim", "exim-altport"}),
        role("Tavrel::Server::Type::Role::MySQL", "MySQL", "MySQL/MariaDB",
             "Runs the MySQL or MariaDB database server.", {"mysql"}),
        role("Tavrel::Server::Type::Role::Postgres", "Postgres", "PostgreSQL",
             "Runs the PostgreSQL database server.", {"postgresql"}),
        role("Tavrel::Server::Type::Role::SpamFilter", "SpamFilter", "Spam Filter",
             "Scores incoming mail for spam.", {"spamd"}),
        role("Tavrel::Server::Type::Role::WebDisk", "WebDisk", "Web Disk",
             "Serves users' files over WebDAV.", {"hubdavd"}, {}, {"webdisk"}),
        role("Tavrel::Server::Type::Role::WebServer", "WebServer", "Web Server",
             "Serves web sites.", {"httpd", "apache_php_fpm"}),
        role("Tavrel::Server::Type::Role::Webmail", "Webmail", "Webmail",
             "Serves mail to users in a browser.", {}, {}, {"webmail"}),
    };
}

const std::map<std::string, std::unique_ptr<Role>, std::less<>>& catalogue() {
    static const auto roles = [] {
        std::map<std::string, std::unique_ptr<Role>, std::less<>> m;
        for (Data& d : catalogue_data()) {
            std::string name = d.short_name;
            if (name == "Postgres") {
                m.emplace(name, std::make_unique<Postgres>(std::move(d)));
            } else {
                m.emplace(name, std::make_unique<Role::TouchFileRole>(std::move(d)));
            }
        }
        return m;
    }();
    return roles;
}

std::map<std::string, bool, std::less<>>& available_cache() {
    static std::map<std::string, bool, std::less<>> cache;
    return cache;
}

[[noreturn]] void abstract(const Role& role, const char* method) {
    throw Foundation::Exception::create("AbstractMethod", "The class “[_1]” must implement “[_2]”.",
                                    {role.class_name(), method},
                                    {{"class", role.class_name()}, {"method", method}});
}

}  // namespace

int Role::is_enabled() const {
    if (auto cached = EnabledCache::get(class_name_))
        return *cached;
    return EnabledCache::set(class_name_, is_available() && _is_enabled() ? 1 : 0);
}

bool Role::is_available() const {
    auto& cache = available_cache();
    auto it = cache.find(class_name_);
    if (it == cache.end())
        it = cache.emplace(class_name_, _is_available()).first;
    return it->second;
}

void Role::verify_enabled() const {
    if (is_enabled())
        return;
    throw Foundation::Exception::create("System::RoleNotEnabled",
                                    "The server role “[_1]” is not enabled on this server.",
                                    {short_name()}, {{"role", short_name()}});
}

Foundation::LocaleString Role::_NAME() const {
    abstract(*this, "_NAME");
}
std::string Role::_TOUCHFILE() const {
    abstract(*this, "_TOUCHFILE");
}

const Role& Role::load(std::string_view name) {
    const auto& roles = catalogue();
    if (auto it = roles.find(name); it != roles.end())
        return *it->second;
    for (const auto& [short_name, role] : roles) {
        if (role->class_name() == name)
            return *role;
    }
    // The failure names the class the role would have had.
    const bool has_prefix = name.substr(0, CLASS_PREFIX.size()) == CLASS_PREFIX;
    throw Foundation::Exception::create(
        "Module::LoadFailed",
        {{"module", has_prefix ? std::string(name) : std::string(CLASS_PREFIX) + std::string(name)},
         {"error", "no such role"}});
}

std::vector<std::string> Role::catalogue_names() {
    std::vector<std::string> names;
    for (const auto& [name, role] : catalogue())
        names.push_back(name);
    return names;
}

void Role::_reset_available_cache() {
    available_cache().clear();
}

}  // namespace Tavrel::Server::Type
