#include "Tavrel/Catalogue/Factory.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Service/Base.h"
#include "Tavrel/Catalogue/Definition.h"
#include "Tavrel/Service/Hot.h"
#include "Tavrel/Catalogue/Registry.h"
#include "Tavrel/Server/Enabled.h"
#include "Tavrel/Server/Monitor/Config.h"
#include "Tavrel/Foundation/Validate/Service.h"
#include "Tavrel/Init/Questions.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <optional>

namespace Tavrel::Catalogue {

std::string module_word(std::string_view service) {
    std::string word(service);
    for (char& c : word) {
        if (c == '-' || c == '.' || c == '@')
            c = '_';
    }
    if (!word.empty())
        word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
    return word;
}

bool is_module_word(std::string_view word) {
    if (word.empty())
        return false;
    auto first = static_cast<unsigned char>(word[0]);
    if (!std::isalpha(first) && first != '_')
        return false;
    for (char ch : word) {
        auto c = static_cast<unsigned char>(ch);
        if (!std::isalnum(c) && c != '_')
            return false;
    }
    return true;
}

namespace {

nlohmann::json object_options(const nlohmann::json& options) {
    nlohmann::json out = nlohmann::json::object();
    for (auto& [key, value] : options.items()) {
        if (key != "longmess")
            out[key] = value;
    }
    return out;
}

std::unique_ptr<Tavrel::Service::Base> finish(std::unique_ptr<Tavrel::Service::Base> object, const nlohmann::json& options,
                             const Init::RunOptions& run) {
    object->apply_options(object_options(options), /*ignore_unknown=*/true);
    object->set_run_options(run);
    object->BUILD();
    return object;
}

bool has_init_script_or_unit(const std::string& service) {
    return Init::has_init_script(service) || Init::has_usable_unit(service);
}

}  // namespace

std::unique_ptr<Tavrel::Service::Base> create(const nlohmann::json& options, const Init::RunOptions& run) {
    std::string service;
    if (auto it = options.find("service"); it != options.end() && it->is_string())
        service = it->get<std::string>();
    if (service.empty())
        throw Foundation::PlainError("A service is required to create a service object.");
    // Before any file is looked at: the word becomes part of paths.
    Tavrel::Foundation::Validate::Service::assert_valid(service);

    const std::string module = module_word(service);
    std::optional<Foundation::Exception> load_error;
    if (is_module_word(module)) {
        auto make = Registry::find(module);
        try {
            if (auto def = Definition::find(module)) {
                std::unique_ptr<Tavrel::Service::Base> object =
                    make ? (*make)() : def->hot() ? std::unique_ptr<Tavrel::Service::Base>(std::make_unique<Tavrel::Service::Hot>())
                                                  : std::make_unique<Tavrel::Service::Base>();
                // A service known only by its definition is not in the
                // installed registry: the definition itself says it is here.
                if (!make)
                    object->set_described_by_definition(true);
                def->apply(*object);
                return finish(std::move(object), options, run);
            }
        } catch (const Foundation::Exception& e) {
            if (!e.isa("Module::LoadFailed"))
                throw;
            load_error = e;
            Foundation::Logger::create()->warn(e.to_string_no_id());
        }
        if (make)
            return finish((*make)(), options, run);
    }

    // An init script or a unit alone says nothing of how to check the
    // service: with the generic object's defaults a running daemon looked
    // stopped, a stop reported success while it ran, and the registry
    // answered "disabled" though nothing had switched it off.
    const bool init_system_only = has_init_script_or_unit(service);
    if (init_system_only && Server::Enabled::is_known(service))
        return finish(std::make_unique<Tavrel::Service::Base>(), options, run);

    struct stat st {};
    if (load_error && ::stat(STRICT_FILE.c_str(), &st) == 0)
        throw *load_error;
    std::string longmess;
    if (auto it = options.find("longmess"); it != options.end() && it->is_string())
        longmess = it->get<std::string>();
    Foundation::Exception::Metadata params = {{"service", service}, {"longmess", longmess}};
    if (init_system_only) {
        params.emplace_back("reason", "it has an init script or a systemd unit, but no service class, "
                                      "no definition and no service-monitor entry, so nothing says "
                                      "how to run and check it");
    }
    // The definition the administrator meant to add is the likely cause.
    if (load_error) {
        params.emplace_back("hint", "Its definition could not be used: " + load_error->error_text());
    } else if (init_system_only && is_module_word(module)) {
        params.emplace_back("hint", "Nothing was done. Describe it in " + Definition::DIR + "/" +
                                        module + Definition::SUFFIX + " to manage it here.");
    } else if (init_system_only) {
        params.emplace_back("hint", "Nothing was done. An entry " + Server::Monitor::Config::svcwatch_dir() +
                                        "/" + service + " of the service monitor makes it known.");
    }
    throw Foundation::Exception::create("Services::Unknown", std::move(params));
}

}  // namespace Tavrel::Catalogue
