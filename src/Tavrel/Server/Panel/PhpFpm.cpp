#include "Tavrel/Server/Panel/PhpFpm.h"

#include "Tavrel/Run/FindBin.h"
#include "Tavrel/Foundation/Regex.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

namespace Tavrel::Server::Panel::PhpFpm {

std::vector<std::string> get_phpfpm_versions() {
    static const Foundation::Regex version(R"(^[0-9]+\.[0-9]+$)");
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(PHP_ETC_DIR, ec)) {
        std::string v = e.path().filename().string();
        if (!version.test(v))
            continue;
        struct stat st;
        std::string conf = e.path().string() + "/fpm/php-fpm.conf";
        if (::stat(conf.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (!Run::FindBin::is_executable(PHP_FPM_BIN_PREFIX + v))
            continue;
        out.push_back(v);
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace Tavrel::Server::Panel::PhpFpm
