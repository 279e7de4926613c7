// Tavrel::Catalogue: the factory that turns a service word into a
// service object of the right class.
//
//   auto srv = Tavrel::Catalogue::create({{"service", "crond"}});
//   srv->restart();
//
// The class is chosen in this order:
//   1. the administrator's definition DIR/<Module>.json (Definition.h), on top
//      of the built-in class of that module word when there is one, else on
//      Base (or Hot when the definition says "hot");
//   2. the built-in class of the module word (Registry.h);
//   3. the generic Base, when the service has an init script or a systemd unit
//      and the registry knows it (Services::Enabled::is_known: a rule of its
//      own or a service-monitor entry).
// Otherwise the service is unknown (Services::Unknown, with `longmess`); for
// an init script or unit alone the failure says what is missing and names
// the definition file that would describe the service.
//
// The module word is the service word with '-', '.' and '@' made '_' and its
// first letter in upper case ("crond" -> "Crond", "exim-altport" ->
// "Exim_altport"). The service word is validated before anything is looked
// up, so a word with '/', "..", a control character or too many characters
// never reaches the file system (Param::Invalid).
//
// A definition that cannot be used is a warning naming the file, the line and
// the reason; the run then goes on with the built-in class, or the generic
// object. While STRICT_FILE exists the load error is raised instead of
// falling back to the generic object; a service that ends up unknown names
// the load error in its failure.
//
// Options are attribute values (Base::set_attribute); they win over the
// definition, which wins over the class's own values. "service" is required;
// "longmess" only feeds the unknown-service failure.
#pragma once

#include "Tavrel/Init/RunOptions.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <string_view>

namespace Tavrel::Service {
class Base;
}

namespace Tavrel::Catalogue {

inline std::string STRICT_FILE = "/var/zidavoveva/strict_service_definitions";

// "crond" -> "Crond".
std::string module_word(std::string_view service);
// A module word that can name a class: a letter or '_' first, then word characters.
bool is_module_word(std::string_view word);

// `run` is set on the object before its BUILD.
std::unique_ptr<Tavrel::Service::Base> create(const nlohmann::json& options, const Init::RunOptions& run = {});

}  // namespace Tavrel::Catalogue
