// Tavrel::Server::Panel::GreyList: the greylisting switch. Greylisting is opt-in: it
// is on while ENABLE_FILE exists.
#pragma once

#include <string>

namespace Tavrel::Server::Panel::GreyList {

inline std::string ENABLE_FILE = "/etc/tavrel/greylist.enabled";

bool is_enabled();
// Switches greylisting off: true when it is now off.
bool disable();

}  // namespace Tavrel::Server::Panel::GreyList
