#include "Tavrel/Server/Enabled.h"

#include "Tavrel/Server/Panel/Analytics.h"
#include "Tavrel/Server/Panel/BruteForceGuard.h"
#include "Tavrel/Config/LoadTvConf.h"
#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Server/Dovecot.h"
#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Foundation/File/Open.h"
#include "Tavrel/Run/GlobalCache.h"
#include "Tavrel/Server/Panel/GreyList.h"
#include "Tavrel/Server/Panel/Hubdavd.h"
#include "Tavrel/Foundation/LoadFile.h"
#include "Tavrel/Server/Database/ClientConfig.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Foundation/File/MakeDir.h"
#include "Tavrel/Server/Type.h"
#include "Tavrel/Server/Enabled/Spamd.h"
#include "Tavrel/Server/Installed.h"
#include "Tavrel/Server/OptionalServices.h"
#include "Tavrel/Foundation/Validate/AnyAllMatcher.h"
#include "Tavrel/Foundation/Validate/Service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

namespace Tavrel::Server::Enabled {

namespace {

using OptionalServices = std::vector<std::string>;

// A rule of the main configuration: `meaning` "disable" (a true value
// disables), "enable" (a true value enables) or empty (DISABLED_WORD disables).
struct ConfigRule {
    std::string key;
    std::string meaning;
};

const std::map<std::string, ConfigRule, std::less<>>& config_rules() {
    static const std::map<std::string, ConfigRule, std::less<>> t = {
        {"mailman", {"skipmailman", "disable"}},
    };
    return t;
}

const std::vector<std::string_view>& installed_check_exceptions() {
    static const std::vector<std::string_view> v = {
        "hubstatsd", "hub_php_fpm", "hubgreyd",  "hubguardd", "hubipv6",   "hubsrvd",
        "dns",       "dnsadmin",    "ftp",       "ftpd",      "ipaliases", "lmtp",
        "mail",      "named",       "jobqueued", "logtaild",
    };
    return v;
}

bool contains(const std::vector<std::string_view>& v, std::string_view s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

// The own flag-file lists, relative to FLAG_DIR.
const std::map<std::string, OptionalServices, std::less<>>& own_lists() {
    static const OptionalServices name_server = {"dns.disable", "named.disable", "nameserver.disable"};
    static const OptionalServices mail = {"mail.disable", "dovecot.disable"};
    static const std::map<std::string, OptionalServices, std::less<>> t = {
        {"bind", name_server},
        {"dns", name_server},
        {"mydns", name_server},
        {"nsd", name_server},
        {"pdns", name_server},
        {"ftp", {"ftp.disable", "ftpd.disable"}},
        {"httpd", {"httpd.disable", "apache.disable", "web.disable"}},
        {"mail", mail},
        {"imap", {mail[0], mail[1], "imap.disable"}},
        {"pop", {"pop.disable", "pop3.disable"}},
        {"mysql", {"mysql.disable", "mysqld.disable"}},
        {"postgresql", {"postgresql.disable", "postgres.disable"}},
        {"rsyslogd", {"rsyslogd.disable", "rsyslog.disable"}},
        {"logtaild", {"logtaild.disable", "logtail.disable"}},
    };
    return t;
}

bool truthy(const std::string& v) {
    return !v.empty() && v != "0";
}

std::optional<int> apply_config_rule(const ConfigRule& rule) {
    std::shared_ptr<const Config::TvConf> conf;
    try {
        conf = Config::LoadTvConf::loadtvconf_not_copy();
    } catch (const std::exception& e) {
        Foundation::Debug::log_warn(std::string("Cannot read the main configuration: ") + e.what());
        return -1;
    }
    auto it = conf->find(rule.key);
    std::string value = it == conf->end() ? "" : it->second;
    if (rule.meaning == "disable")
        return truthy(value) ? 0 : 1;
    if (rule.meaning == "enable")
        return truthy(value) ? 1 : 0;
    if (value == DISABLED_WORD)
        return 0;
    return std::nullopt;
}

// 0 when any flag file is present, 1 when none, -1 when the service has none.
int flag_file_test(std::string_view service) {
    auto files = get_files_for_service(service);
    if (!files)
        return -1;
    int answer = 1;
    for (const std::string& f : *files) {
        struct stat st;
        if (::lstat(f.c_str(), &st) == 0) {
            answer = 0;
        } else if (errno != ENOENT) {
            Foundation::Debug::log_warn("Cannot check the flag file " + f + ": " + std::strerror(errno));
        }
    }
    return answer;
}

std::string canonical_alias(std::string_view service) {
    static const std::map<std::string, std::string, std::less<>> aliases = {
        {"mysqld", "mysql"},        {"mariadb", "mysql"},         {"mariadbd", "mysql"},
        {"postgres", "postgresql"}, {"postmaster", "postgresql"}, {"pgsql", "postgresql"},
    };
    auto it = aliases.find(service);
    return it == aliases.end() ? std::string(service) : it->second;
}

// The rules that decide before (or instead of) the generic checks; nothing to go on.
std::optional<int> special_rule(std::string& name) {
    if (name == "hubstatsd")
        return Panel::Analytics::is_enabled() ? 1 : 0;
    if (name == "hubgreyd")
        return Panel::GreyList::is_enabled() ? 1 : 0;
    if (name == "hubguardd")
        return Panel::BruteForceGuard::is_enabled() ? 1 : 0;
    if (name == "imap")
        return get_dovecot_enabled_protocols().count("imap") ? 1 : 0;
    if (name == "pop")
        return get_dovecot_enabled_protocols().count("pop3") ? 1 : 0;
    if (name == "spamd" && is_enabled("exim") == 0)
        return 0;
    if (name == "exim-altport" || name == "exim_altport") {
        return Server::OptionalServices::canonicalize_service(name).enabled ? 1 : 0;
    }
    name = canonical_alias(name);
    if (name == "hubdavd" && !Panel::Hubdavd::is_needed())
        return 0;
    // The PHP pools serve web sites, which a DNS-only server has none of.
    if (name == "apache_php_fpm" && Server::Type::is_zoneonly())
        return 0;
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<std::string>> get_files_for_service(std::string_view service) {
    if (service.empty())
        return std::nullopt;
    Tavrel::Foundation::Validate::Service::assert_valid(service);
    if (!service_has_files(service).value_or(false))
        return std::nullopt;
    std::vector<std::string> out;
    if (auto it = own_lists().find(service); it != own_lists().end()) {
        for (const std::string& f : it->second)
            out.push_back(FLAG_DIR + "/" + f);
    } else {
        out.push_back(FLAG_DIR + "/" + std::string(service) + FLAG_SUFFIX);
        out.push_back(FLAG_DIR + "/" + std::string(service) + FLAG_SUFFIX_2);
    }
    return out;
}

std::optional<bool> service_has_files(std::string_view service) {
    if (service.empty())
        return std::nullopt;
    static const Foundation::Regex mail(R"(^imap|pop$)");
    if (mail.test(service))
        return true;
    return config_rules().find(service) == config_rules().end();
}

namespace {
int enabled_answer(std::string_view service, bool ask_installed);
}

int is_enabled(std::string_view service) { return enabled_answer(service, true); }

int is_enabled_when_installed(std::string_view service) { return enabled_answer(service, false); }

bool is_known(std::string_view service) {
    if (service.empty() || !Tavrel::Foundation::Validate::Service::is_valid(service))
        return false;
    // The same name and the same exceptions as the installed question of
    // is_enabled: every service with a rule of its own here is one of them
    // or has a rule in the installed registry.
    const std::string name = canonical_alias(service);
    return contains(installed_check_exceptions(), name) || Installed::service_is_known(name);
}

namespace {

int enabled_answer(std::string_view service, bool ask_installed) {
    if (service.empty())
        return -1;
    Tavrel::Foundation::Validate::Service::assert_valid(service);
    std::string name(service);
    if (auto answer = special_rule(name))
        return *answer;
    if (name == "hubsrvd" || name == "hublogd")
        return 1;  // the product's core
    if (auto it = config_rules().find(name); it != config_rules().end()) {
        if (auto answer = apply_config_rule(it->second))
            return *answer;
    }
    if (ask_installed && !contains(installed_check_exceptions(), name) &&
        !Installed::service_is_installed(name)) {
        return 0;
    }
    if (name == "spamd") {
        try {
            return Enabled::Spamd::is_enabled() ? 1 : 0;
        } catch (const std::exception& e) {
            Foundation::Debug::log_warn(std::string("Cannot tell whether spamd is enabled: ") + e.what());
            return 1;
        }
    }
    return flag_file_test(name);
}

}  // namespace

int are_enabled(std::string_view service) {
    return is_enabled(service);
}

int are_enabled(const ServicesSpec& query) {
    return Foundation::Validate::AnyAllMatcher::match({query.services, query.match},
                                          [](const std::string& s) { return is_enabled(s); });
}

int is_provided(std::string_view service) {
    int answer = is_enabled(service);
    if (answer != 0 || service.substr(0, 5) != "mysql")
        return answer;
    if (auto cached = Run::GlobalCache::data("mysql", "is_remote")) {
        bool remote = cached->is_boolean() ? cached->get<bool>()
                                           : (cached->is_number() && cached->get<double>() != 0);
        return remote ? 1 : 0;
    }
    return Database::ClientConfig::is_remote_mysql() ? 1 : 0;
}

int are_provided(const ServicesSpec& query) {
    return Foundation::Validate::AnyAllMatcher::match({query.services, query.match},
                                          [](const std::string& s) { return is_provided(s); });
}

std::optional<bool> touch_disable_file(std::string_view service) {
    if (service.empty())
        return std::nullopt;
    Tavrel::Foundation::Validate::Service::assert_valid(service);
    if (is_enabled(service) == 0)
        return true;
    if (service == "hubgreyd")
        return Panel::GreyList::disable();
    auto files = get_files_for_service(service);
    if (!files)
        return true;
    if (files->empty())
        return std::nullopt;
    // A fresh server may lack the whole path; every level gets its mode and
    // the flag file its own, whatever the umask of whoever switched it off.
    const std::string dir = std::filesystem::path(files->front()).parent_path().string();
    if (!Foundation::File::MakeDir::safemkdir(dir, FLAG_DIR_MODE, {.parents = true})) {
        Foundation::Debug::log_warn("Cannot create " + dir + ": " + std::strerror(errno));
        return false;
    }
    // Never follow a link planted at the flag path.
    Foundation::Fd::UniqueFd fd(Foundation::File::Open::sysopen_with_real_perms(
        files->front(), O_WRONLY | O_CREAT | O_NOFOLLOW, FLAG_FILE_MODE));
    if (!fd) {
        Foundation::Debug::log_warn("Cannot create " + files->front() + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

std::optional<bool> remove_disable_files(std::string_view service) {
    if (service.empty())
        return std::nullopt;
    auto files = get_files_for_service(service);
    if (!files)
        return true;
    bool all = true;
    for (const std::string& f : *files) {
        struct stat st;
        if (::lstat(f.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (::unlink(f.c_str()) != 0 && errno != ENOENT) {
            Foundation::Debug::log_warn("Cannot remove " + f + ": " + std::strerror(errno));
            all = false;
        }
    }
    return all;
}

std::set<std::string> get_dovecot_enabled_protocols() {
    static const Foundation::Regex line(R"(^protocols:[ \t]*([^\n]+))", Foundation::Regex::MULTILINE);
    static const Foundation::Regex trailing(R"([ \t]+$)");
    std::string text;
    try {
        if (auto p = Foundation::LoadFile::load_if_exists(Dovecot::PROTOCOLS_FILE)) {
            text = *p;
        } else {
            std::string conf = Foundation::LoadFile::load(DOVECOT_CONF_FILE);
            if (auto m = line.match(conf))
                text = std::string((*m)[1]);
        }
    } catch (const std::exception& e) {
        // Once per cause in a run: a listing asks for imap, pop and the
        // spam filter alike, and one line says it. (The cause without its
        // error id, which is new at every failure.)
        static std::set<std::string> said;
        const auto* failure = dynamic_cast<const Foundation::Exception*>(&e);
        const std::string cause = failure ? failure->to_string_no_id() : e.what();
        if (!std::getenv("TAVREL_BASE_INSTALL") && said.insert(cause).second)
            Foundation::Debug::log_warn(std::string("Cannot read the mail server's protocols: ") + e.what());
    }
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    text = trailing.replace(text, "");
    if (text.empty())
        text = DEFAULT_PROTOCOLS;
    std::set<std::string> out;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t sp = text.find(' ', pos);
        std::string piece = text.substr(pos, sp == std::string::npos ? sp : sp - pos);
        if (!piece.empty())
            out.insert(piece);
        if (sp == std::string::npos)
            break;
        pos = sp + 1;
    }
    return out;
}

}  // namespace Tavrel::Server::Enabled
