// Tavrel::Catalogue::Definition: a service described by an administrator
// in a JSON file instead of a compiled class.
//
// One file per module word in DIR (for example /etc/zidavoveva/services/Ztestd.json):
//
//   {
//     // comments are allowed
//     "hot": true,                          // restarts in place on SIGUSR1 (Hot)
//     "service_binary": "/usr/local/sbin/ztestd",
//     "is_tavrel_service": true,            // launched by this tool, no init script
//     "startup_args": ["--pidfile", "/run/ztestd.pid"],
//     "pidfile": "/run/ztestd.pid",
//     "ports": [8765]
//   }
//
// Every member other than "hot" names an attribute of the service class and
// is set through Base::set_attribute. For a service that has a built-in class
// the members override that class's values ("hot" cannot change it).
//
//   auto def = Definition::find("Ztestd");     // nothing when there is no file
//   auto obj = std::make_unique<Hot>();
//   def->apply(*obj);                          // Module::LoadFailed on a bad member
//
// A file that does not parse, is not a JSON object, names an unknown attribute
// or gives a value of the wrong shape is refused with Module::LoadFailed whose
// error text names the file, the line and the reason. So is a file that root
// does not own or that others may write: the definition chooses programs this
// tool runs as root. For the same reason every definition is refused while DIR,
// or a directory above it, is a symbolic link, belongs to another account or
// may be written by its group or others (an account that could rename or
// replace entries there could swap or remove the administrator's definitions).
// A directory above DIR may be writable by all when it is sticky, as /tmp is:
// there nobody but its owner may rename or remove DIR.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Service {
class Base;
}

namespace Tavrel::Catalogue {

class Definition {
  public:
    static inline std::string DIR = "/etc/zidavoveva/services";
    static inline std::string SUFFIX = ".json";
    static inline std::string HOT_KEY = "hot";
    // Larger files are refused unread.
    static inline std::size_t MAX_SIZE = 1 << 20;

    // The definition for `module_word` (DIR/<module_word>.json); nothing when
    // there is no such file; Module::LoadFailed when it cannot be used.
    static std::optional<Definition> find(const std::string& module_word);
    // Why the definitions in DIR cannot be trusted (see above); nothing when
    // they can, or when DIR does not exist.
    static std::optional<std::string> untrusted_directory_reason();
    // Parses a definition's text; `path` is named in errors.
    static Definition parse(const std::string& path, const std::string& text);

    const std::string& path() const { return path_; }
    bool hot() const { return hot_; }
    const nlohmann::json& attributes() const { return attributes_; }

    // Sets every attribute on `object`; Module::LoadFailed on an unknown
    // attribute or a value of the wrong shape.
    void apply(Tavrel::Service::Base& object) const;

  private:
    // Module::LoadFailed for this file.
    [[noreturn]] void fail(std::size_t line, const std::string& reason) const;
    // The line of the member `key` (1 when it cannot be found).
    std::size_t line_of(std::string_view key) const;

    std::string path_;
    std::string module_;
    std::string text_;
    bool hot_ = false;
    nlohmann::json attributes_ = nlohmann::json::object();
};

}  // namespace Tavrel::Catalogue
