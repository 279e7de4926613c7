#include "Tavrel/Init/SysV/InitFile.h"

#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Init/SysV/Script.h"
#include "Tavrel/Init/Systemd/Systemctl.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace Tavrel::Init::SysV {

namespace {

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

}  // namespace

std::optional<std::string> getinitfile(std::string_view service) {
    if (service.empty() || service == NEVER_A_SCRIPT)
        return std::nullopt;
    if (Systemd::Systemctl::has_service_via_systemd(service))
        return std::nullopt;
    return find_init_script(service);
}

std::optional<std::string> find_init_script(std::string_view service) {
    if (service.empty() || service == NEVER_A_SCRIPT)
        return std::nullopt;
    static const Foundation::Regex hidden(R"(^\.)");
    static const Foundation::Regex leftover(R"(\.rpm[a-z]+$)");
    const std::string escaped = Foundation::Regex::escape(service);
    const Foundation::Regex partial("^" + escaped, Foundation::Regex::CASELESS);
    const Foundation::Regex numbered(R"(^[SK]?\d+)" + escaped + "$", Foundation::Regex::CASELESS);

    const std::string dir = Script::INIT_D_DIR;
    std::unique_ptr<DIR, DirCloser> d(::opendir(dir.c_str()));
    if (!d)
        return std::nullopt;
    std::optional<std::string> partial_match, numbered_match;
    while (const dirent* e = ::readdir(d.get())) {
        std::string_view name = e->d_name;
        if (hidden.test(name) || leftover.test(name))
            continue;
        const std::string path = dir + "/" + std::string(name);
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(path.c_str(), X_OK) != 0)
            continue;
        if (name.size() == service.size() &&
            ::strncasecmp(name.data(), service.data(), name.size()) == 0)
            return path;
        if (!partial_match && partial.test(name))
            partial_match = path;
        if (!numbered_match && numbered.test(name))
            numbered_match = path;
    }
    if (partial_match)
        return partial_match;
    return numbered_match;
}

}  // namespace Tavrel::Init::SysV
