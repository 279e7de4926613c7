#include "Tavrel/Run/Binaries.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Foundation/PlainError.h"

#include <unistd.h>

namespace Tavrel::Run::Binaries {

namespace {
constexpr Dir RB = Dir::RootBin, RS = Dir::RootSbin, UB = Dir::SystemBin, US = Dir::SystemSbin;
}  // namespace

Family detect_family() {
    try {
        return Config::OS::base_distro() == "rhel" ? Family::Rhel : Family::Debian;
    } catch (const std::exception&) {
        return access("/etc/redhat-release", F_OK) == 0 ? Family::Rhel : Family::Debian;
    }
}

std::string dir_path(Dir dir) {
    switch (dir) {
        case Dir::RootBin:
            return ROOT_BIN;
        case Dir::RootSbin:
            return ROOT_SBIN;
        case Dir::SystemBin:
            return SYSTEM_BIN;
        case Dir::SystemSbin:
            return SYSTEM_SBIN;
    }
    return SYSTEM_BIN;
}

const std::map<std::string, SystemLocation, std::less<>>& system_bin_locations() {
    // {Debian, RHEL}: where each family's packages install the program.
    static const std::map<std::string, SystemLocation, std::less<>> table = {
        {"apt-get", {UB, UB}},     {"cat", {RB, UB}},    {"chattr", {UB, UB}},
        {"dnf", {UB, UB}},         {"dpkg", {UB, UB}},   {"dpkg-query", {UB, UB}},
        {"false", {RB, UB}},       {"fuser", {RB, US}},  {"getent", {UB, UB}},
        {"hostname", {RB, UB}},    {"id", {UB, UB}},     {"infocmp", {UB, UB}},
        {"invoke-rc.d", {US, US}}, {"ionice", {UB, UB}}, {"ip", {RB, US}},
        {"journalctl", {RB, UB}},  {"kill", {RB, UB}},   {"killall", {UB, UB}},
        {"logger", {UB, UB}},      {"lsattr", {UB, UB}}, {"lsof", {UB, UB}},
        {"mount", {RB, UB}},       {"nice", {UB, UB}},   {"nscd", {US, US}},
        {"openssl", {UB, UB}},     {"pgrep", {UB, UB}},  {"pidof", {RB, US}},
        {"pkill", {UB, UB}},       {"ps", {RB, UB}},     {"python3", {UB, UB}},
        {"renice", {UB, UB}},      {"rpm", {UB, UB}},    {"runuser", {RS, US}},
        {"service", {US, US}},     {"setsid", {UB, UB}}, {"sleep", {RB, UB}},
        {"ss", {RB, US}},          {"sysctl", {RS, US}}, {"systemctl", {RB, UB}},
        {"tail", {UB, UB}},        {"tar", {RB, UB}},    {"taskset", {UB, UB}},
        {"timedatectl", {UB, UB}}, {"tput", {UB, UB}},   {"true", {RB, UB}},
        {"umount", {RB, UB}},      {"yum", {UB, UB}},
    };
    return table;
}

std::map<std::string, std::string, std::less<>> thirdparty_static_locations() {
    // Built on each call: the directories are settings.
    return {
        {"perl", THIRD_PARTY + "/perl/536/bin"},
        {"python3", THIRD_PARTY + "/python/3/bin"},
        {"git", THIRD_PARTY_BIN},
        {"openssl", THIRD_PARTY_BIN},
        {"tar", THIRD_PARTY_BIN},
    };
}

const std::set<std::string, std::less<>>& optional_binaries() {
    static const std::set<std::string, std::less<>> names = {"git", "python3", "tar"};
    return names;
}

const std::set<std::string, std::less<>>& dynamic_vars() {
    static const std::set<std::string, std::less<>> names = {
        "pear", "peardev", "pecl", "phar", "php", "php-cgi", "php-config", "phpize"};
    return names;
}

std::map<std::string, std::string, std::less<>> thirdparty_binary_locations() {
    auto table = thirdparty_static_locations();
    for (const auto& name : dynamic_vars())
        table.emplace(name, *dynamic_bin_location(name));
    return table;
}

std::vector<std::string> thirdparty_binary_names() {
    std::vector<std::string> names;
    for (const auto& [name, dir] : thirdparty_binary_locations())
        names.push_back(name);
    return names;
}

std::optional<std::string> path_for_family(std::string_view name, Family fam) {
    if (name.empty())
        return std::nullopt;
    const std::string n(name);
    const auto product = thirdparty_static_locations();
    if (auto it = product.find(name); it != product.end())
        return it->second + "/" + n;
    if (auto it = system_bin_locations().find(name); it != system_bin_locations().end()) {
        return dir_path(fam == Family::Rhel ? it->second.rhel : it->second.debian) + "/" + n;
    }
    if (auto dir = dynamic_bin_location(name))
        return *dir + "/" + n;
    throw Foundation::PlainError("Tavrel::Binaries::path: unknown program \"" + n + "\"");
}

std::optional<std::string> path(std::string_view name) {
    if (name.empty())
        return std::nullopt;
    return path_for_family(name, family ? family() : detect_family());
}

std::optional<std::string> get_prefix(std::string_view name) {
    std::optional<std::string> dir;
    const auto product = thirdparty_static_locations();
    if (auto it = product.find(name); it != product.end()) {
        dir = it->second;
    } else {
        dir = dynamic_bin_location(name);
    }
    if (!dir)
        return std::nullopt;
    constexpr std::string_view bin = "/bin";
    if (dir->size() >= bin.size() && dir->compare(dir->size() - bin.size(), bin.size(), bin) == 0) {
        dir->erase(dir->size() - bin.size());
    }
    return dir;
}

int get_php_version() {
    auto installed = [](int major) {
        return access((THIRD_PARTY + "/php/" + std::to_string(major) + "/bin").c_str(), X_OK) == 0;
    };
    if (!installed(PHP_MAJOR) && installed(PHP_LEGACY_MAJOR))
        return PHP_LEGACY_MAJOR;
    return PHP_MAJOR;
}

std::string get_php_3rdparty_dir() {
    return THIRD_PARTY + "/php/" + std::to_string(get_php_version());
}

std::optional<std::string> dynamic_bin_location(std::string_view name) {
    if (!dynamic_vars().contains(name))
        return std::nullopt;
    return get_php_3rdparty_dir() + "/bin";
}

}  // namespace Tavrel::Run::Binaries
