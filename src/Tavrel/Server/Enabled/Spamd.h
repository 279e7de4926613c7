// Tavrel::Server::Enabled::Spamd: the spam filter daemon's own switch, the
// main configuration key SKIP_KEY (a true value switches the daemon off).
// Throws when the configuration cannot be read.
#pragma once

#include <string>

namespace Tavrel::Server::Enabled::Spamd {

inline std::string SKIP_KEY = "skipspamd";

bool is_enabled();

}  // namespace Tavrel::Server::Enabled::Spamd
