// Tavrel::Server::OptionalServices: the administrator's list of optional services, a
// JSON object in SERVICE_LIST_FILE keyed by canonical service name:
//
//   {"exim-altport": {"enabled": true, "ports": [26]}}
//
// A service missing from the list (or a missing or damaged file) is not enabled.
#pragma once

#include <string>
#include <string_view>

namespace Tavrel::Server::OptionalServices {

inline std::string SERVICE_LIST_FILE = "/etc/tavrel/services.json";

struct Record {
    std::string name;  // canonical: "_" written as "-"
    bool enabled = false;
};

Record canonicalize_service(std::string_view service);

}  // namespace Tavrel::Server::OptionalServices
