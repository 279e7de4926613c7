// Tavrel::Server::Database::Binaries: where the database servers' binaries are.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace Tavrel::Server::Database::Binaries {

// Candidates for the MySQL/MariaDB server, in order of preference.
inline std::vector<std::string> MYSQLD_PATHS = {
    "/usr/sbin/mariadbd",
    "/usr/sbin/mysqld",
    "/usr/libexec/mariadbd",
    "/usr/libexec/mysqld",
};
// PostgreSQL: the fixed paths, then the versioned trees (newest version first):
// Debian's <POSTGRES_DEBIAN_DIR>/<version>/bin/postgres and the upstream
// packages' <POSTGRES_PGSQL_PREFIX><version>/bin/postgres.
inline std::vector<std::string> POSTMASTER_PATHS = {"/usr/bin/postgres", "/usr/bin/postmaster"};
inline std::string POSTGRES_DEBIAN_DIR = "/usr/lib/postgresql";
inline std::string POSTGRES_PGSQL_PREFIX = "/usr/pgsql-";

std::optional<std::string> find_mysqld();
std::optional<std::string> find_postmaster();

}  // namespace Tavrel::Server::Database::Binaries
