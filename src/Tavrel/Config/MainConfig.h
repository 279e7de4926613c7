// Tavrel::Config::loadtvconfig: the server's main configuration under the
// name the service classes use (Tavrel::Config::LoadTvConf::loadtvconf).
//
//   auto conf = Tavrel::Config::loadtvconfig();
#pragma once

#include "Tavrel/Config/LoadTvConf.h"

namespace Tavrel::Config {

inline Config::TvConf loadtvconfig() {
    return Config::LoadTvConf::loadtvconf();
}

}  // namespace Tavrel::Config
