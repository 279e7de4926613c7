#include "Tavrel/Server/Panel/WebStack4.h"

#include <sys/stat.h>

#include <optional>

namespace Tavrel::Server::Panel::WebStack4 {

namespace {
std::optional<bool>& cached() {
    static std::optional<bool> c;
    return c;
}
}  // namespace

bool is_webstack4() {
    if (!cached()) {
        struct stat st;
        cached() = ::stat(FLAG_FILE.c_str(), &st) == 0;
    }
    return *cached();
}

void clear_cache() {
    cached().reset();
}

}  // namespace Tavrel::Server::Panel::WebStack4
