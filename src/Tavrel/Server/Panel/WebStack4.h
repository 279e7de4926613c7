// Tavrel::Server::Panel::WebStack4: is the web server build of the WebStack4
// system installed? It is when FLAG_FILE exists; the answer is kept for the
// process (clear_cache() forgets it).
#pragma once

#include <string>

namespace Tavrel::Server::Panel::WebStack4 {

inline std::string FLAG_FILE = "/etc/tavrel/webstack4";

bool is_webstack4();
void clear_cache();

}  // namespace Tavrel::Server::Panel::WebStack4
