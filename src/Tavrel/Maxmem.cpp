#include "Tavrel/Maxmem.h"

namespace Tavrel::Maxmem {

std::uint64_t default_for_domain_count(std::uint64_t domains) {
    return INITIAL_DEFAULT * (1 + domains / DOMAINS_PER_STEP);
}

std::uint64_t default_mib() {
    std::optional<std::uint64_t> domains;
    if (count_user_domains)
        domains = count_user_domains();
    return default_for_domain_count(domains.value_or(1));
}

}  // namespace Tavrel::Maxmem
