// The first bytes of a journal file, as journald writes them, for tests of
// the code that chooses journal files by the time of their last entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Tavrel::TestSupport {

inline std::string journal_header(std::uint64_t last_entry_us) {
    std::string bytes(272, '\0');
    auto put_64 = [&](std::size_t at, std::uint64_t value) {
        for (std::size_t i = 0; i < 8; ++i)
            bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
    };
    bytes.replace(0, 8, "LPKSHHRH");
    put_64(88, bytes.size());  // the header's size
    put_64(192, last_entry_us);
    return bytes;
}

}  // namespace Tavrel::TestSupport
