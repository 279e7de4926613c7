#include "Tavrel/Server/PackageTools/DpkgQuery.h"

#include "Tavrel/Run/Binaries.h"

namespace Tavrel::Server::PackageTools {

std::string DpkgQuery::bin_path() const {
    return *Run::Binaries::path("dpkg-query");
}

}  // namespace Tavrel::Server::PackageTools
