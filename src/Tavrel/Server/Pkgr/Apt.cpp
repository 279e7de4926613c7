#include "Tavrel/Server/Pkgr/Apt.h"

#include "Tavrel/Foundation/Regex.h"

namespace Tavrel::Server::Pkgr {

bool is_installed_status(std::string_view status_abbrev) {
    // The first letter is what is wanted (install, hold, remove, purge), the
    // second the state the package is in.
    return status_abbrev.size() >= 2 && status_abbrev[1] == INSTALLED_STATE &&
           status_abbrev[0] != ' ';
}

PackageTools::DpkgQuery& Apt::binary_dpkg_query() {
    if (!dpkg_query_)
        dpkg_query_ = std::make_unique<PackageTools::DpkgQuery>();
    return *dpkg_query_;
}

VersionMap Apt::parse_show_output(std::string_view output, bool with_arch_suffix) {
    static const Foundation::Regex fields(R"(^(\S+)\s+(\S+)\s+(\S+)\s+(\S+))");
    VersionMap versions;
    while (!output.empty()) {
        std::size_t eol = output.find('\n');
        std::string_view line = output.substr(0, eol);
        output = eol == std::string_view::npos ? std::string_view{} : output.substr(eol + 1);
        if (!is_installed_status(line.substr(0, line.find(' '))))
            continue;
        auto m = fields.match(line);
        if (!m)
            continue;
        std::string version((*m)[3]);
        if (with_arch_suffix)
            version += std::string(ARCH_SEPARATOR) + std::string((*m)[4]);
        versions[std::string((*m)[2])] = std::move(version);
    }
    return versions;
}

VersionMap Apt::installed_packages(const std::vector<std::string>& packages) {
    if (packages.empty())
        return {};
    std::vector<std::string> args = {"--show", "--showformat", std::string(DPKG_SHOW_FORMAT)};
    args.insert(args.end(), packages.begin(), packages.end());
    // A package dpkg-query does not know makes it exit 1 while the others are
    // still listed, so the output is read whatever the status.
    return parse_show_output(binary_dpkg_query().cmd(args).output, with_arch_suffix());
}

VersionMap Apt::get_version_for_packages(const std::vector<std::string>& packages) {
    return installed_packages(packages);
}

bool Apt::is_installed(std::string_view package) {
    auto result = binary_dpkg_query().cmd(
        {"--show", "--showformat", std::string(DPKG_STATUS_FORMAT), std::string(package)});
    if (result.status != 0)
        return false;
    return is_installed_status(result.output);
}

}  // namespace Tavrel::Server::Pkgr
