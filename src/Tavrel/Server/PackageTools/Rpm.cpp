#include "Tavrel/Server/PackageTools/Rpm.h"

#include "Tavrel/Run/Binaries.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Regex.h"

namespace Tavrel::Server::PackageTools {

std::string Rpm::bin_path() const {
    return *Run::Binaries::path("rpm");
}

std::optional<std::string> Rpm::lock_to_hold() const {
    return LOCK_DIR + "/rpm.lock";
}

bool Rpm::needs_lock(const std::vector<std::string>& args) const {
    static const Foundation::Regex changes(
        R"(^(?:-[a-zA-Z]*[iUFe][a-zA-Z]*|--(?:install|upgrade|freshen|erase|import|rebuilddb|initdb|reinstall))$)");
    for (const auto& arg : args) {
        if (arg.rfind("--", 0) != 0 && arg.rfind("-q", 0) == 0)
            return false;  // a query
        if (changes.test(arg))
            return true;
    }
    return false;
}

std::map<std::string, std::optional<std::string>> Rpm::parse_query_output(std::string_view output) {
    static const Foundation::Regex not_installed(R"(^package (.+?) is not installed$)");
    static const Foundation::Regex entry(R"(^(\S+?)\s+(.+?)$)");
    std::map<std::string, std::optional<std::string>> versions;
    while (!output.empty()) {
        std::size_t eol = output.find('\n');
        std::string_view line = output.substr(0, eol);
        output = eol == std::string_view::npos ? std::string_view{} : output.substr(eol + 1);
        if (line.empty() || not_installed.test(line))
            continue;
        if (auto m = entry.match(line)) {
            versions[std::string((*m)[1])] = std::string((*m)[2]);
        } else {
            versions.emplace(std::string(line), std::nullopt);
        }
    }
    return versions;
}

std::map<std::string, std::optional<std::string>> Rpm::get_version(
    const std::vector<std::string>& packages, bool with_arch) {
    if (packages.empty())
        throw Foundation::PlainError("Rpm::get_version needs at least one package name");
    std::vector<std::string> args = {"--query", "--nodigest", "--nosignature", "--queryformat",
                                     with_arch ? "%{NAME} %{VERSION}-%{RELEASE}.%{ARCH}\\n"
                                               : "%{NAME} %{VERSION}-%{RELEASE}\\n"};
    args.insert(args.end(), packages.begin(), packages.end());
    return parse_query_output(cmd(args).output);
}

}  // namespace Tavrel::Server::PackageTools
