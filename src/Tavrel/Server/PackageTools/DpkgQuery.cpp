#include "Tavrel/Server/PackageTools/DpkgQuery.h"

#include "Tavrel/Run/Binaries.h"

namespace Tavrel::Binaries {

std::string DpkgQuery::bin_path() const {
    return *path("dpkg-query");
}

}  // namespace Tavrel::Binaries
