// Tavrel::Process::Maxmem: the default memory ceiling for daemons, in MiB. It grows with
// the number of hosted user domains: 4096 MiB per started ten thousand, so a
// server that hosts many sites does not start its daemons with a ceiling meant
// for a small one.
//
//   std::uint64_t mib = Tavrel::Process::Maxmem::default_mib();   // 16384 for 30000 domains
//
// The count comes from the panel's list of hosted domains (USER_DOMAINS_FILE,
// one `domain: owner` line per domain). A missing or unreadable list counts as
// one domain.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Process::Maxmem {

inline constexpr std::uint64_t INITIAL_DEFAULT = 4096;  // MiB
inline constexpr std::uint64_t DOMAINS_PER_STEP = 10000;

// The panel's list of hosted domains.
inline std::string USER_DOMAINS_FILE = "/etc/tavrel/userdomains";

// The domains in a list's text: lines with something other than blanks, not
// comments ("#" first).
std::uint64_t count_domain_lines(std::string_view text);
// The domains in USER_DOMAINS_FILE; nothing when it cannot be read.
std::optional<std::uint64_t> count_domains_in_list();

// The number of user domains on the server, or nothing when it cannot be
// told (which counts as 1). Tests may replace it.
inline std::function<std::optional<std::uint64_t>()> count_user_domains = count_domains_in_list;

// INITIAL_DEFAULT * (1 + domains / DOMAINS_PER_STEP), in MiB.
std::uint64_t default_mib();
std::uint64_t default_for_domain_count(std::uint64_t domains);

}  // namespace Tavrel::Process::Maxmem
