// Tavrel::Maxmem: the default memory ceiling for daemons, in MiB. It grows with
// the number of hosted user domains: 4096 MiB per started ten thousand.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace Tavrel::Maxmem {

inline constexpr std::uint64_t INITIAL_DEFAULT = 4096;  // MiB
inline constexpr std::uint64_t DOMAINS_PER_STEP = 10000;

// The number of user domains on the server, or nothing when it cannot be
// told. The domain counter of the hosting panel fills this in; until it does,
// the count is unknown and counts as 1.
inline std::function<std::optional<std::uint64_t>()> count_user_domains = [] {
    return std::optional<std::uint64_t>{};
};

// INITIAL_DEFAULT * (1 + domains / DOMAINS_PER_STEP), in MiB.
std::uint64_t default_mib();
std::uint64_t default_for_domain_count(std::uint64_t domains);

}  // namespace Tavrel::Maxmem
