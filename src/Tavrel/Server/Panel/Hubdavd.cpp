#include "Tavrel/Server/Panel/Hubdavd.h"

#include "Tavrel/Server/Type/Profile/Roles.h"

namespace Tavrel::Server::Panel::Hubdavd {

bool is_needed() {
    namespace Roles = Server::Type::Profile::Roles;
    return Roles::are_roles_enabled(Roles::Query{{"WebDisk", "CalendarContact"}, "any"}) != 0;
}

}  // namespace Tavrel::Server::Panel::Hubdavd
