// Tavrel::Server::Type: what kind of server this is.
//
// A DNS-only server runs the name service and nothing of the hosting stack
// (no web, mail or FTP): the administrator marks it with ZONEONLY_FILE.
#pragma once

#include <optional>
#include <string>

namespace Tavrel::Server::Type {

inline std::string ZONEONLY_FILE = "/etc/tavrel/zoneonly";
// When set, the answer of is_zoneonly() whatever is on disk.
inline std::optional<bool> ZONEONLY_OVERRIDE;

// 1 on a DNS-only server, 0 otherwise. An error other than a missing file
// while testing the flag is fatal (Tavrel::Foundation::PlainError naming file and error).
int is_zoneonly();

}  // namespace Tavrel::Server::Type
