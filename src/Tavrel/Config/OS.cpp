#include "Tavrel/Config/OS.h"

#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Config/OS/All.h"
#include "Tavrel/Config/OS/SysBootstrap.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Regex.h"

#include <sys/stat.h>
#include <sys/utsname.h>

#include <algorithm>
#include <functional>
#include <memory>

namespace Tavrel::Config::OS {

namespace {

// The facts of this process: the release's record plus the identity read from disk.
struct Instance {
    SysBootstrap::Identity id;
    const Facts* facts = nullptr;
    std::optional<Facts> inherited;  // an unknown release's copy of its family's record
};

std::unique_ptr<Instance>& slot() {
    static std::unique_ptr<Instance> s;
    return s;
}

// Written to the log only: a person at a terminal has nothing to do about it.
void notice(const std::string& text) {
    Foundation::Logger::Entry entry(text);
    entry.level = "info";
    entry.output = 0;
    Foundation::Debug::logger()->logger(std::move(entry));
}

// The fact a record cannot answer is an error naming it and the record.
template <typename T>
const T& answered(const std::optional<T>& value, std::string_view fact_name) {
    if (!value) {
        const Facts& f = *slot()->facts;
        throw Foundation::PlainError("The platform fact " + std::string(fact_name) + " is not known for " +
                         f.class_name + " (" + slot()->id.distro + " " + slot()->id.major + ")");
    }
    return *value;
}

std::string kernel_name() {
    struct utsname u;
    if (::uname(&u) != 0)
        return "linux";
    std::string s = u.sysname;
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const Instance& instance() {
    auto& s = slot();
    if (s)
        return *s;
    auto inst = std::make_unique<Instance>();
    inst->id = SysBootstrap::get_os_info(SysBootstrap::ACKNOWLEDGE_TOKEN);
    inst->facts = All::find(inst->id.distro, inst->id.major);
    if (!inst->facts) {
        inst->inherited = All::inherit(inst->id.distro, inst->id.major);
        if (inst->inherited) {
            inst->facts = &*inst->inherited;
            notice("This server runs " + inst->inherited->pretty_distro +
                   ", a release without platform facts of its own; using those of " +
                   inst->inherited->inherited_from + ".");
        } else {
            inst->facts = &All::generic();
        }
        if (inst->id.os.empty())
            inst->id.os = kernel_name();
    }
    s = std::move(inst);
    return *s;
}

const Facts& facts() {
    return *instance().facts;
}

using Getter = std::function<nlohmann::json()>;

const std::map<std::string, Getter, std::less<>>& fact_table() {
    static const std::map<std::string, Getter, std::less<>> t = {
        {"base_distro", [] { return nlohmann::json(base_distro()); }},
        {"cron_bin_path", [] { return nlohmann::json(cron_bin_path()); }},
        {"is_systemd", [] { return nlohmann::json(is_systemd()); }},
        {"maillog_path", [] { return nlohmann::json(maillog_path()); }},
        {"package_manager", [] { return nlohmann::json(package_manager()); }},
        {"package_manager_module", [] { return nlohmann::json(package_manager_module()); }},
        {"pretty_distro", [] { return nlohmann::json(pretty_distro()); }},
        {"retry_rpm_cmd_no_tty_hack", [] { return nlohmann::json(retry_rpm_cmd_no_tty_hack()); }},
        {"setup_tz_method", [] { return nlohmann::json(setup_tz_method()); }},
        {"system_package_managers",
         [] {
             return nlohmann::json(
                 answered(facts().system_package_managers, "system_package_managers"));
         }},
        {"systemd_service_name_map", [] { return nlohmann::json(systemd_service_name_map()); }},
    };
    return t;
}

}  // namespace

bool is_systemd() {
    struct stat st;
    return ::stat(SYSTEMD_RUN_DIR.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

const std::string& os() {
    return instance().id.os;
}
const std::string& distro() {
    return instance().id.distro;
}
const std::string& major() {
    return instance().id.major;
}
const std::string& minor() {
    return instance().id.minor;
}
const std::string& build() {
    return instance().id.build;
}

const std::string& base_distro() {
    return facts().base_distro;
}
const std::string& pretty_distro() {
    return facts().pretty_distro;
}
const std::string& package_manager() {
    return answered(facts().package_manager, "package_manager");
}
const std::string& package_manager_module() {
    return answered(facts().package_manager_module, "package_manager_module");
}
bool retry_rpm_cmd_no_tty_hack() {
    return facts().retry_rpm_cmd_no_tty_hack;
}
const std::string& cron_bin_path() {
    return facts().cron_bin_path;
}
const std::string& maillog_path() {
    return facts().maillog_path;
}
const std::string& setup_tz_method() {
    return facts().setup_tz_method;
}

const std::map<std::string, std::string>& systemd_service_name_map() {
    return facts().systemd_service_name_map;
}

const DaemonFacts* daemon_facts(std::string_view service) {
    const auto& m = facts().daemons;
    auto it = m.find(std::string(service));
    return it == m.end() ? nullptr : &it->second;
}

std::string systemd_unit_name(std::string_view service) {
    const auto& m = systemd_service_name_map();
    auto it = m.find(std::string(service));
    return it == m.end() ? std::string(service) : it->second;
}

nlohmann::json fact(std::string_view name) {
    const auto& t = fact_table();
    auto it = t.find(name);
    if (it == t.end())
        throw Foundation::PlainError("Unknown platform fact: " + std::string(name));
    return it->second();
}

std::vector<std::string> supported_methods() {
    std::vector<std::string> names;
    for (const auto& [name, getter] : fact_table())
        names.push_back(name);
    return names;  // the map keeps them sorted
}

bool list_contains_value(std::string_view key, const std::optional<std::string>& value) {
    nlohmann::json list = fact(key);
    if (!list.is_array()) {
        throw Foundation::PlainError("Platform fact " + std::string(key) + " is not a list");
    }
    return std::any_of(list.begin(), list.end(), [&](const nlohmann::json& v) {
        return value ? (v.is_string() && v.get<std::string>() == *value) : v.is_null();
    });
}

void assert_unreachable_on_ubuntu(std::string_view message) {
    if (base_distro() == "ubuntu") {
        throw Foundation::PlainError(message.empty() ? "This code path is not supported on Ubuntu"
                                         : std::string(message));
    }
}

std::optional<std::string> lookup_pretty_distro(std::string_view target) {
    static const Foundation::Regex re(R"(^([A-Za-z]+)([0-9]+)$)");
    auto m = re.match(target);
    if (!m)
        return std::nullopt;
    std::string distro((*m)[1]);
    for (char& c : distro)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const Facts* f = All::find(distro, (*m)[2]);
    if (!f)
        return std::nullopt;
    return f->pretty_distro;
}

void clear_cache() {
    slot().reset();
}
void clear_cache_after_cloudlinux_update() {
    clear_cache();
}

bool flush_disk_caches() {
    return SysBootstrap::flush_disk_caches();
}

}  // namespace Tavrel::Config::OS
