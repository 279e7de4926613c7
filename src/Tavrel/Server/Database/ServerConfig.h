// Tavrel::Server::Database::ServerConfig: what the database server's own option
// files say.
//
//   auto dir = Tavrel::Server::Database::ServerConfig::option("datadir");  // nothing when unset
//
// The files are read in the server's order (CONFIG_FILES), following
// "!include FILE" and "!includedir DIR" (the DIR's *.cnf files in name order).
// Of the groups the server reads (SERVER_GROUPS), the last setting wins, as it
// does for the server. Option names are compared with "-" and "_" alike. A
// bare option ("log-error") has an empty value. Missing or unreadable files
// are skipped: nothing here throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Server::Database::ServerConfig {

inline std::vector<std::string> CONFIG_FILES = {"/etc/my.cnf", "/etc/mysql/my.cnf"};
inline std::vector<std::string> SERVER_GROUPS = {"mysqld", "server", "mariadb", "mariadbd"};
// Includes nested deeper than this are ignored (they would be a loop).
inline int MAX_INCLUDE_DEPTH = 10;

struct Setting {
    std::string group;  // lower case
    std::string name;   // lower case, "-" turned into "_"
    std::string value;  // unquoted; empty for a bare option
};

// The settings of one file's text, in order; include lines come out as
// settings of the group "!include" or "!includedir" with the path as value.
std::vector<Setting> parse(std::string_view text);
// Every setting of the files, includes followed.
std::vector<Setting> read(const std::vector<std::string>& files = CONFIG_FILES);
// The server's value of an option, or nothing when no server group sets it.
std::optional<std::string> option(std::string_view name,
                                  const std::vector<std::string>& files = CONFIG_FILES);

}  // namespace Tavrel::Server::Database::ServerConfig
