// Tavrel::Server::Panel::PhpFpm: which PHP-FPM versions are installed.
//
// A version counts when its pool manager is both configured and present:
// PHP_ETC_DIR/<version>/fpm/php-fpm.conf and PHP_FPM_BIN_PREFIX<version>
// (Debian's layout, one tree per version: /etc/php/8.2, /usr/sbin/php-fpm8.2).
#pragma once

#include <string>
#include <vector>

namespace Tavrel::Server::Panel::PhpFpm {

inline std::string PHP_ETC_DIR = "/etc/php";
inline std::string PHP_FPM_BIN_PREFIX = "/usr/sbin/php-fpm";

// Installed versions ("8.2"), sorted.
std::vector<std::string> get_phpfpm_versions();

}  // namespace Tavrel::Server::Panel::PhpFpm
