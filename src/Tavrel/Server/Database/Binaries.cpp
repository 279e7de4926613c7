#include "Tavrel/Server/Database/Binaries.h"

#include "Tavrel/Run/FindBin.h"

#include <algorithm>
#include <filesystem>

namespace Tavrel::Server::Database::Binaries {

namespace {

// Version directories ("15", "9.6") under `dir` whose names start with
// `prefix`, newest first.
std::vector<std::string> versions_in(const std::string& dir, const std::string& prefix) {
    std::vector<std::pair<std::vector<int>, std::string>> found;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        std::string name = e.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string v = name.substr(prefix.size());
        std::vector<int> key;
        size_t pos = 0;
        bool ok = !v.empty();
        while (ok && pos <= v.size()) {
            size_t dot = v.find('.', pos);
            std::string part = v.substr(pos, dot == std::string::npos ? dot : dot - pos);
            ok = !part.empty() && part.find_first_not_of("0123456789") == std::string::npos;
            if (ok)
                key.push_back(std::stoi(part.substr(0, 6)));
            if (dot == std::string::npos)
                break;
            pos = dot + 1;
        }
        if (ok)
            found.emplace_back(key, e.path().string());
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a > b; });
    std::vector<std::string> out;
    for (auto& f : found)
        out.push_back(f.second);
    return out;
}

}  // namespace

std::optional<std::string> find_mysqld() {
    for (const std::string& p : MYSQLD_PATHS) {
        if (Run::FindBin::is_executable(p))
            return p;
    }
    return std::nullopt;
}

std::optional<std::string> find_postmaster() {
    for (const std::string& p : POSTMASTER_PATHS) {
        if (Run::FindBin::is_executable(p))
            return p;
    }
    for (const std::string& dir : versions_in(POSTGRES_DEBIAN_DIR, "")) {
        if (Run::FindBin::is_executable(dir + "/bin/postgres"))
            return dir + "/bin/postgres";
    }
    std::filesystem::path prefix(POSTGRES_PGSQL_PREFIX);
    for (const std::string& dir :
         versions_in(prefix.parent_path().string(), prefix.filename().string())) {
        if (Run::FindBin::is_executable(dir + "/bin/postgres"))
            return dir + "/bin/postgres";
    }
    return std::nullopt;
}

}  // namespace Tavrel::Server::Database::Binaries
