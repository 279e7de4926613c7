// Tavrel::Server::Database::find_mysqladmin: where the database administration
// tool is, for the database service class.
//
//   if (auto tool = Tavrel::Server::Database::find_mysqladmin()) run(*tool, "ping");
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace Tavrel::Server::Database {

inline std::string MYSQLADMIN_NAME = "mysqladmin";
// Searched in this order: the distribution's, a local build's, a vendor tarball's.
inline std::vector<std::string> MYSQLADMIN_DIRS = {"/usr/bin", "/usr/local/bin",
                                                   "/usr/local/mysql/bin"};

// The first existing DIR/mysqladmin, or nothing.
std::optional<std::string> find_mysqladmin();

}  // namespace Tavrel::Server::Database
