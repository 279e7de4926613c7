// Tavrel::Server::AlwaysInstalled: the product's own services, which are
// installed wherever the product is.
#pragma once

#include <array>
#include <string_view>

namespace Tavrel::Server::AlwaysInstalled {

inline constexpr std::array<std::string_view, 11> SERVICES = {
    "dnsadmin",  "hub_php_fpm", "hubgreyd",  "hubguardd", "hubipv6",  "hubsrvd",
    "hubstatsd", "ipaliases",   "jobqueued", "lmtp",      "logtaild",
};

}  // namespace Tavrel::Server::AlwaysInstalled
