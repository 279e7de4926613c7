// Tavrel::Config::OS::SysBootstrap: identifies the distribution from its release
// files, once, and keeps the answer in a symbolic link (the identity cache)
// whose target text is "os|distro|major|minor|build".
//
// The cache is trusted while it is newer than the release file, or always when
// the administrator has forced an identity (the custom-identity link exists).
// Only root writes the cache; a failed write just means the next run reads the
// release files again.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Config::OS::SysBootstrap {

inline std::string OS_RELEASE_FILE = "/etc/os-release";
inline std::string REDHAT_RELEASE_FILE = "/etc/redhat-release";
// Created (with every missing parent) mode 0711 by a root run.
inline std::string CACHE_DIR = "/var/tavrel/caches/os";
inline std::string CACHE_LINK = CACHE_DIR + "/identity";
inline std::string CUSTOM_LINK = CACHE_DIR + "/identity.custom";

// Callers outside the facts module must show this token: the raw identity is
// not a fact to build features on.
inline constexpr std::string_view ACKNOWLEDGE_TOKEN = "raw identity, not a fact";

struct Identity {
    std::string os = "linux";
    std::string distro, major, minor, build;
    bool operator==(const Identity&) const = default;
};

// The identity of this system: from the cache, else the release files (and
// cached when root). Raises Tavrel::Foundation::PlainError for a wrong token, an
// unreadable release file, or an identity with an empty field.
Identity get_os_info(std::string_view token);

// Parsers of the release files' text; nothing when the text names no distribution.
std::optional<Identity> parse_os_release(std::string_view text);
std::optional<Identity> parse_redhat_release(std::string_view text);
// The identity held in the cache link's target text; nothing unless it has
// exactly five fields, none of them empty.
std::optional<Identity> parse_identity_cache(std::string_view target);

// Reads the release files: the standard one first unless `redhat_first`.
std::optional<Identity> get_os_without_cache(bool redhat_first = false);
std::optional<Identity> read_os_info_cache();
void cache_os_info(const Identity& id);

// Removes the identity cache (1), unless the identity is forced (0).
bool flush_disk_caches();

}  // namespace Tavrel::Config::OS::SysBootstrap
