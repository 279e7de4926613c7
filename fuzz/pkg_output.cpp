// Package-tool output: dpkg-query's show format and rpm's query format. The
// same input goes to both parsers.
#include "Check.h"

#include "Tavrel/Server/PackageTools/Rpm.h"
#include "Tavrel/Server/Pkgr/Apt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = Fuzz::text(data, size);
    for (bool arch : {false, true}) {
        for (const auto& [name, version] : Tavrel::Server::Pkgr::Apt::parse_show_output(text, arch)) {
            FUZZ_CHECK(!name.empty() && !version.empty());
            FUZZ_CHECK(name.find('\n') == std::string::npos);
        }
    }
    for (const auto& [name, version] : Tavrel::Server::PackageTools::Rpm::parse_query_output(text)) {
        FUZZ_CHECK(!name.empty());
        FUZZ_CHECK(name.find('\n') == std::string::npos);
        if (version)
            FUZZ_CHECK(!version->empty());
    }
    return 0;
}
