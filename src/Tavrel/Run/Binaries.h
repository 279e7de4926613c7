// Tavrel::Binaries: the one place that knows where every external program
// lives. Nothing in the tool searches PATH: callers ask for an absolute path.
//
//   std::string systemctl = *Tavrel::Run::Binaries::path("systemctl");
//
// The system table gives each program's directory on a Debian-family server
// and on a RHEL-family server (the family comes from the platform facts); the
// product table names the tools the product ships itself, which win over the
// system ones; the scripting-runtime tools (dynamic_vars) live in a directory
// that depends on the installed runtime version. A name in none of the tables
// is a programming fault (PlainError naming it).
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Run::Binaries {

enum class Family { Debian, Rhel };

inline std::string SYSTEM_BIN = "/usr/bin";
inline std::string SYSTEM_SBIN = "/usr/sbin";
// Debian keeps the early-boot programs in the root directories, which stay
// valid on merged-/usr systems.
inline std::string ROOT_BIN = "/bin";
inline std::string ROOT_SBIN = "/sbin";
inline std::string PRODUCT_DIR = "/usr/local/tavrel";
inline std::string THIRD_PARTY = "/usr/local/tavrel/3rdparty";
inline std::string THIRD_PARTY_BIN = "/usr/local/tavrel/3rdparty/bin";

// Versions of the product's PHP runtime: the current one and the one kept for
// servers that have not moved on yet.
inline constexpr int PHP_MAJOR = 81;
inline constexpr int PHP_LEGACY_MAJOR = 74;

// Which family's locations to use. Defaults to the platform facts.
Family detect_family();
inline std::function<Family()> family = detect_family;

enum class Dir { RootBin, RootSbin, SystemBin, SystemSbin };
struct SystemLocation {
    Dir debian;
    Dir rhel;
};

const std::map<std::string, SystemLocation, std::less<>>& system_bin_locations();
// Static product tools: name -> directory.
std::map<std::string, std::string, std::less<>> thirdparty_static_locations();
// Static and dynamic product tools: name -> directory.
std::map<std::string, std::string, std::less<>> thirdparty_binary_locations();
std::vector<std::string> thirdparty_binary_names();
// Product tools that may legitimately be absent from a server.
const std::set<std::string, std::less<>>& optional_binaries();
const std::set<std::string, std::less<>>& dynamic_vars();

std::string dir_path(Dir dir);

// The absolute path of a program; nothing for an empty name; PlainError for an
// unknown one.
std::optional<std::string> path(std::string_view name);
std::optional<std::string> path_for_family(std::string_view name, Family family);
// The product directory of a name without one trailing "/bin", or nothing.
std::optional<std::string> get_prefix(std::string_view name);

// The runtime version in use: PHP_MAJOR unless only the legacy runtime is installed.
int get_php_version();
std::string get_php_3rdparty_dir();
// The versioned bin directory for a dynamic_vars name, or nothing for other names.
std::optional<std::string> dynamic_bin_location(std::string_view name);

}  // namespace Tavrel::Run::Binaries
