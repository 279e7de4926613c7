#include "Tavrel/Catalogue/Registry.h"

#include "Tavrel/Catalogue/Factory.h"
#include "Tavrel/Catalogue/Daemons/Table.h"
#include "Tavrel/Catalogue/Daemons/Crond.h"
#include "Tavrel/Catalogue/Daemons/Nscd.h"
#include "Tavrel/Catalogue/Daemons/Rsyslogd.h"
#include "Tavrel/Catalogue/Daemons/Sshd.h"
#include "Tavrel/Service/Base.h"

#include <map>

namespace Tavrel::Catalogue::Registry {

namespace {

// A built-in class: the service word it declares, and how to make one.
struct Known {
    std::string word;
    Maker make;
};

template <class T>
Known compiled() {
    return {std::string(T::WORD), [] { return std::unique_ptr<Tavrel::Service::Base>(std::make_unique<T>()); }};
}

// Keyed by the module word the factory looks up (the declared word through
// module_word), so a class is found exactly by the words it answers to.
const std::map<std::string, Known, std::less<>>& table() {
    static const std::map<std::string, Known, std::less<>> t = [] {
        std::vector<Known> known = {
            compiled<Daemons::Crond>(),
            compiled<Daemons::Nscd>(),
            compiled<Daemons::Rsyslogd>(),
            compiled<Daemons::Sshd>(),
        };
        for (const Daemons::Entry& e : Daemons::Table::entries()) {
            known.push_back(
                {e.word,
                 [&e] { return std::unique_ptr<Tavrel::Service::Base>(std::make_unique<Daemons::Daemon>(e)); }});
        }
        std::map<std::string, Known, std::less<>> m;
        for (Known& k : known) {
            std::string module = module_word(k.word);
            m.emplace(std::move(module), std::move(k));
        }
        return m;
    }();
    return t;
}

}  // namespace

std::optional<Maker> find(std::string_view module_word) {
    const auto& t = table();
    if (auto it = t.find(module_word); it != t.end())
        return it->second.make;
    return std::nullopt;
}

std::vector<std::string> module_words() {
    std::vector<std::string> out;
    for (const auto& [module, known] : table())
        out.push_back(module);
    return out;
}

std::vector<std::string> service_words() {
    std::vector<std::string> out;
    for (const auto& [module, known] : table())
        out.push_back(known.word);
    return out;
}

bool offers_custom_action(std::string_view word) {
    for (const auto& [module, known] : table()) {
        if (known.make()->custom_action(word))
            return true;
    }
    return false;
}

}  // namespace Tavrel::Catalogue::Registry
