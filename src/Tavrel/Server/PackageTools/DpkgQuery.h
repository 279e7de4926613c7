// Tavrel::Server::PackageTools::DpkgQuery: the wrapper around dpkg-query, the Debian
// package database's read-only query tool (no lock needed to read).
#pragma once

#include "Tavrel/Server/PackageTools/Cmd.h"

namespace Tavrel::Server::PackageTools {

class DpkgQuery : public Cmd {
  public:
    using Cmd::Cmd;

  protected:
    std::string bin_path() const override;
};

}  // namespace Tavrel::Server::PackageTools
