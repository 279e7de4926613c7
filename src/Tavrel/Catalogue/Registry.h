// Tavrel::Catalogue::Registry: the service classes compiled into the
// program, found by module word.
//
//   if (auto make = Registry::find("Crond")) {
//       std::unique_ptr<Base> srv = (*make)();   // not yet built: apply options, then BUILD()
//   }
//   for (const auto& word : Registry::service_words()) ...   // "crond", "nscd", ...
//
// A class registers here by one line in Registry.cpp; nothing registers
// itself at start-up. Each class declares its service word (a compiled
// class's WORD, a catalogue record's word); its module word is that word's
// (Tavrel::Catalogue::module_word), so the factory finds the class by
// the word it answers to.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Service {
class Base;
}

namespace Tavrel::Catalogue {

namespace Registry {

// Makes a fresh, not yet built object of the class.
using Maker = std::function<std::unique_ptr<Tavrel::Service::Base>()>;

std::optional<Maker> find(std::string_view module_word);
// The module words of every built-in class ("Crond", ...), sorted.
std::vector<std::string> module_words();
// Their service words ("crond", ...): the names the program is installed under.
std::vector<std::string> service_words();
// Whether any of them offers `word` as a custom action. A class declares its
// custom actions as it is constructed, so none is built (nor locked) to ask.
bool offers_custom_action(std::string_view word);

}  // namespace Registry
}  // namespace Tavrel::Catalogue
