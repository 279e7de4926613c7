#include "Tavrel/Server/Installed.h"

#include "Tavrel/Run/Binaries.h"
#include "Tavrel/Server/Panel/WebStack4.h"
#include "Tavrel/Server/Database/Binaries.h"
#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Run/FindBin.h"
#include "Tavrel/Config/OS.h"
#include "Tavrel/Server/Panel/PhpFpm.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Server/Type.h"
#include "Tavrel/Server/AlwaysInstalled.h"
#include "Tavrel/Server/Monitor/Config.h"
#include "Tavrel/Foundation/Validate/Service.h"

#include <sys/stat.h>

#include <algorithm>

namespace Tavrel::Server::Installed {

namespace {

bool executable(std::initializer_list<std::string_view> programs) {
    for (std::string_view p : programs) {
        if (auto path = located_binary(p); path && Run::FindBin::is_executable(*path))
            return true;
    }
    return false;
}

bool found(std::string_view program) {
    return Run::FindBin::findbin(program).has_value();
}

bool not_zoneonly() {
    return !Server::Type::is_zoneonly();
}

bool cron_installed() {
    try {
        return Run::FindBin::is_executable(Config::OS::cron_bin_path());
    } catch (const std::exception& e) {
        Foundation::Debug::log_warn(std::string("Cannot tell where the cron daemon is: ") + e.what());
        return false;
    }
}

std::map<std::string, Rule, std::less<>> default_rules() {
    return {
        {"clamd", [] { return executable({"clamd"}); }},
        {"hubdavd", not_zoneonly},
        {"exim",
         [] {
             return executable({"exim", "exim4"});
         }},
        {"exim_altport",
         [] {
             return executable({"exim", "exim4"});
         }},
        {"ftpd", [] { return not_zoneonly() && (found("proftpd") || found("pure-ftpd")); }},
        {"httpd", [] { return Panel::WebStack4::is_webstack4(); }},
        {"imap", not_zoneonly},
        {"pop", not_zoneonly},
        {"mailman", not_zoneonly},
        {"mysql", [] { return Database::Binaries::find_mysqld().has_value(); }},
        {"postgresql", [] { return Database::Binaries::find_postmaster().has_value(); }},
        {"hublogd", [] { return true; }},
        {"rsyslogd", [] { return found("rsyslogd"); }},
        {"spamd", [] { return executable({"spamd"}); }},
        {"sshd", [] { return found("sshd"); }},
        {"crond", cron_installed},
        {"nscd", [] { return found("nscd"); }},
        {"syslogd", [] { return found("syslogd"); }},
        {"p0f",
         [] {
             struct stat st;
             return ::stat(P0F_FILE.c_str(), &st) == 0;
         }},
        {"apache_php_fpm", [] { return !Panel::PhpFpm::get_phpfpm_versions().empty(); }},
        {"pdns", [] { return executable({"pdns_server"}); }},
    };
}

}  // namespace

std::map<std::string, Rule, std::less<>>& rules() {
    static auto r = default_rules();
    return r;
}

std::optional<std::string> located_binary(std::string_view program) {
    try {
        if (auto p = Run::Binaries::path(program))
            return p;
    } catch (const Foundation::PlainError&) {
        // Not in the program table: a daemon found where daemons live.
    }
    return Run::FindBin::findbin(program);
}

bool _service_has_svcwatch_file(std::string_view service) {
    return Monitor::Config::has_entry(service);
}

namespace {

// The service's code name ("exim-altport" -> "exim_altport"); nothing for a
// name outside the allowed set, which is warned about.
std::optional<std::string> code_name(std::string_view service) {
    if (!Tavrel::Foundation::Validate::Service::is_valid(service)) {
        Foundation::Debug::log_warn("Invalid service name “" + std::string(service) + "”");
        return std::nullopt;
    }
    std::string code(service);
    std::replace(code.begin(), code.end(), '-', '_');
    return code;
}

bool always_installed(const std::string& code) {
    const auto& always = AlwaysInstalled::SERVICES;
    return std::find(always.begin(), always.end(), code) != always.end();
}

}  // namespace

bool service_is_installed(std::string_view service) {
    auto code = code_name(service);
    if (!code)
        return false;
    if (always_installed(*code))
        return true;
    if (auto it = rules().find(*code); it != rules().end())
        return it->second();
    return _service_has_svcwatch_file(service);
}

bool service_is_known(std::string_view service) {
    auto code = code_name(service);
    return code && (always_installed(*code) || rules().count(*code) != 0 ||
                    _service_has_svcwatch_file(service));
}

}  // namespace Tavrel::Server::Installed
