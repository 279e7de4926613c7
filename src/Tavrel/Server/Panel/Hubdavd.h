// Tavrel::Server::Panel::Hubdavd: does this server need its WebDAV daemon? It does
// while the WebDisk or the CalendarContact role is enabled.
#pragma once

namespace Tavrel::Server::Panel::Hubdavd {

bool is_needed();

}  // namespace Tavrel::Server::Panel::Hubdavd
