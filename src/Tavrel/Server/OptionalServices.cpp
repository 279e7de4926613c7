#include "Tavrel/Server/OptionalServices.h"

#include "Tavrel/Config/JSON/Quiet.h"

#include <algorithm>

namespace Tavrel::Server::OptionalServices {

Record canonicalize_service(std::string_view service) {
    Record r;
    r.name = std::string(service);
    std::replace(r.name.begin(), r.name.end(), '_', '-');
    auto doc = Config::JSON::Quiet::LoadFile(SERVICE_LIST_FILE);
    if (!doc || !doc->is_object())
        return r;
    auto it = doc->find(r.name);
    if (it == doc->end() || !it->is_object())
        return r;
    auto en = it->find("enabled");
    if (en == it->end())
        return r;
    r.enabled = en->is_boolean() ? en->get<bool>() : (en->is_number() && en->get<double>() != 0);
    return r;
}

}  // namespace Tavrel::Server::OptionalServices
