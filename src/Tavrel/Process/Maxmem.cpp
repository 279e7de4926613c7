#include "Tavrel/Process/Maxmem.h"

#include "Tavrel/Foundation/LoadFile.h"

namespace Tavrel::Process::Maxmem {

std::uint64_t count_domain_lines(std::string_view text) {
    std::uint64_t count = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        size_t first = line.find_first_not_of(" \t\r");
        if (first != std::string_view::npos && line[first] != '#')
            ++count;
    }
    return count;
}

std::optional<std::uint64_t> count_domains_in_list() {
    auto text = Foundation::LoadFile::loadfile(USER_DOMAINS_FILE);
    if (!text)
        return std::nullopt;
    return count_domain_lines(*text);
}

std::uint64_t default_for_domain_count(std::uint64_t domains) {
    return INITIAL_DEFAULT * (1 + domains / DOMAINS_PER_STEP);
}

std::uint64_t default_mib() {
    std::optional<std::uint64_t> domains;
    if (count_user_domains)
        domains = count_user_domains();
    return default_for_domain_count(domains.value_or(1));
}

}  // namespace Tavrel::Process::Maxmem
