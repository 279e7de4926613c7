// Tavrel::Hubdavd::Config: does this server need its WebDAV daemon? It does
// while the WebDisk or the CalendarContact role is enabled.
#pragma once

namespace Tavrel::Hubdavd::Config {

bool is_needed();

}  // namespace Tavrel::Hubdavd::Config
