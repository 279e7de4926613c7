#include "Tavrel/Server/Enabled/Spamd.h"

#include "Tavrel/Config/LoadTvConf.h"

namespace Tavrel::Server::Enabled::Spamd {

bool is_enabled() {
    auto conf = Config::LoadTvConf::loadtvconf_not_copy();
    auto it = conf->find(SKIP_KEY);
    return it == conf->end() || it->second.empty() || it->second == "0";
}

}  // namespace Tavrel::Server::Enabled::Spamd
