// Tavrel::Server::Enabled: is a service switched on for this server, and
// switching it off and on.
//
//   int on = Tavrel::Server::Enabled::is_enabled("exim");  // 1, 0 or -1
//   Tavrel::Server::Enabled::touch_disable_file("ftpd");   // switch off
//   Tavrel::Server::Enabled::remove_disable_files("ftpd"); // switch on
//
// Answers: 1 enabled, 0 disabled, -1 undetermined (callers wanting a yes/no
// treat -1 as enabled). For most services the switch is the presence of a
// disable flag file (any file of the service's list: FLAG_DIR/<name>.disable
// and FLAG_DIR/<name>.off by default); some services have their own rule (the
// mail server's protocols for imap and pop, a configuration key, another
// service, a product setting). A service that is not installed is disabled.
//
// Service names are checked before they become file names: an invalid name is
// Param::Invalid and touches nothing. Otherwise nothing here throws for
// ordinary conditions: unreadable flag files and a failing spam-daemon query
// are warned about.
#pragma once

#include <sys/types.h>

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Server::Enabled {

inline std::string FLAG_DIR = "/etc/tavrel/disabled";
inline std::string FLAG_SUFFIX = ".disable";
inline std::string FLAG_SUFFIX_2 = ".off";
// Modes of what touch_disable_file creates: every missing level of the flag
// directory, and the flag file (readable by the monitors that look at it).
inline constexpr mode_t FLAG_DIR_MODE = 0755;
inline constexpr mode_t FLAG_FILE_MODE = 0644;
// The mail server's settings file as the product writes it ("protocols: imap pop3").
inline std::string DOVECOT_CONF_FILE = "/etc/tavrel/dovecot.yaml";
inline std::string DEFAULT_PROTOCOLS = "imap pop3 lmtp";
// The fixed value of a configuration key that means "disabled" for a rule without a sense.
inline std::string DISABLED_WORD = "disabled";

int is_enabled(std::string_view service);
// As is_enabled for a service whose software is known to be present (an
// administrator described its program in a service definition): the
// installed question is not asked; the other rules and the flag files decide.
int is_enabled_when_installed(std::string_view service);
// Whether is_enabled knows anything of the service beyond its flag files: a
// rule of its own here or in the installed registry, the product's own
// services, or a service-monitor entry. A service it does not know counts as
// not installed, and so as disabled, though nothing switched it off.
bool is_known(std::string_view service);
// A list of names and a mode ("all", the default, or "any").
struct ServicesSpec {
    std::vector<std::string> services;
    std::string match;
};
int are_enabled(std::string_view service);
int are_enabled(const ServicesSpec& query);

// As is_enabled, except that a database service disabled here counts as
// provided when the database server is remote.
int is_provided(std::string_view service);
int are_provided(const ServicesSpec& query);

// true when the service is now disabled (or has no flag files); the creation's
// result otherwise; nothing for an empty name.
std::optional<bool> touch_disable_file(std::string_view service);
// true when every flag file that existed was removed (symbolic links are left
// alone and do not count as failures); nothing for an empty name.
std::optional<bool> remove_disable_files(std::string_view service);

std::optional<bool> service_has_files(std::string_view service);
std::optional<std::vector<std::string>> get_files_for_service(std::string_view service);

std::set<std::string> get_dovecot_enabled_protocols();

}  // namespace Tavrel::Server::Enabled
