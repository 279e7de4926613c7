// The distribution's release files (/etc/os-release, /etc/redhat-release),
// the identity cache link's target text and the release names of the
// platform lookups. The same input goes to each.
#include "Check.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Config/OS/SysBootstrap.h"

#include <cctype>

namespace SB = Tavrel::Config::OS::SysBootstrap;

namespace {

void check(const SB::Identity& id) {
    FUZZ_CHECK(!id.distro.empty());
    FUZZ_CHECK(!id.minor.empty());
    FUZZ_CHECK(!id.build.empty());
    for (char c : id.distro)
        FUZZ_CHECK(!std::isupper(static_cast<unsigned char>(c)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = Fuzz::text(data, size);
    if (auto id = SB::parse_os_release(text))
        check(*id);
    if (auto id = SB::parse_redhat_release(text))
        check(*id);
    if (auto id = SB::parse_identity_cache(text)) {
        // What the cache holds is written back the same way.
        std::string again = id->os + "|" + id->distro + "|" + id->major + "|" + id->minor + "|" +
                            id->build;
        FUZZ_CHECK(again == text);
        FUZZ_CHECK(!id->os.empty() && !id->distro.empty() && !id->major.empty());
    }
    if (auto pretty = Tavrel::Config::OS::lookup_pretty_distro(text))
        FUZZ_CHECK(!pretty->empty());
    return 0;
}
