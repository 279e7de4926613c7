// Tavrel::Server::Database::ClientConfig: what root's MySQL client configuration
// says. The database server is remote when the [client] section names a host
// other than this machine (localhost, a loopback address, or none).
#pragma once

#include <string>

namespace Tavrel::Server::Database::ClientConfig {

inline std::string MY_CNF = "/root/.my.cnf";

bool is_remote_mysql();

}  // namespace Tavrel::Server::Database::ClientConfig
