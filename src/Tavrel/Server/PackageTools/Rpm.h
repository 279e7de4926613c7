// Tavrel::Server::PackageTools::Rpm: the wrapper around the RPM tool. Queries run freely;
// commands that change the database hold our rpm lock and wait for the
// database's own lock to be released first.
//
//   auto versions = Tavrel::Server::PackageTools::Rpm().get_version({"httpd", "exim"});
#pragma once

#include "Tavrel/Server/PackageTools/Cmd.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Server::PackageTools {

inline std::vector<std::string> RPM_DB_LOCKS = {"/var/lib/rpm/.rpm.lock"};

class Rpm : public Cmd {
  public:
    using Cmd::Cmd;

    // Installed versions ("version-release", with ".arch" under with_arch) of
    // the named packages; packages that are not installed are absent.
    // PlainError for an empty list.
    std::map<std::string, std::optional<std::string>> get_version(
        const std::vector<std::string>& packages, bool with_arch = false);

    // The query output as a version map: "package X is not installed" lines are
    // dropped, "name version" lines give entries, other lines a key with no value.
    static std::map<std::string, std::optional<std::string>> parse_query_output(
        std::string_view output);

  protected:
    std::string bin_path() const override;
    std::vector<std::string> locks_to_wait_for() const override { return RPM_DB_LOCKS; }
    std::optional<std::string> lock_to_hold() const override;
    bool needs_lock(const std::vector<std::string>& args) const override;
};

}  // namespace Tavrel::Server::PackageTools
