#include "Tavrel/ServiceManager/Registry.h"

#include "Tavrel/ServiceManager/Services/Catalogue.h"
#include "Tavrel/ServiceManager/Services/Crond.h"
#include "Tavrel/ServiceManager/Services/Nscd.h"
#include "Tavrel/ServiceManager/Services/Rsyslogd.h"
#include "Tavrel/ServiceManager/Services/Sshd.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace Tavrel::ServiceManager::Registry {

namespace {

template <class T>
Maker maker() {
    return [] { return std::unique_ptr<Base>(std::make_unique<T>()); };
}

const std::map<std::string, Maker, std::less<>>& table() {
    static const std::map<std::string, Maker, std::less<>> t = [] {
        std::map<std::string, Maker, std::less<>> m = {
            {"Crond", maker<Services::Crond>()},
            {"Nscd", maker<Services::Nscd>()},
            {"Rsyslogd", maker<Services::Rsyslogd>()},
            {"Sshd", maker<Services::Sshd>()},
        };
        for (const Services::Entry& e : Services::Catalogue::entries()) {
            m.emplace(e.module,
                      [&e] { return std::unique_ptr<Base>(std::make_unique<Services::Daemon>(e)); });
        }
        return m;
    }();
    return t;
}

}  // namespace

std::optional<Maker> find(std::string_view module_word) {
    const auto& t = table();
    if (auto it = t.find(module_word); it != t.end())
        return it->second;
    return std::nullopt;
}

std::vector<std::string> module_words() {
    std::vector<std::string> out;
    for (const auto& [word, make] : table())
        out.push_back(word);
    return out;
}

std::vector<std::string> service_words() {
    std::vector<std::string> out;
    for (std::string word : module_words()) {
        // A record names its own word when it is not the module word in
        // lower case ("exim-altport" for Exim_altport).
        if (const Services::Entry* e = Services::Catalogue::find(word)) {
            out.push_back(e->word);
            continue;
        }
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        out.push_back(word);
    }
    return out;
}

}  // namespace Tavrel::ServiceManager::Registry
