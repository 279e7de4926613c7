// The account files: /etc/passwd lines found by name and by uid, completed
// from /etc/shadow. The input is used as both files.
#include "Check.h"

#include "Tavrel/Config/PwCache/Load.h"

#include <string>

namespace PW = Tavrel::Config::PwCache;

namespace {

void check_found(std::string_view text, std::string_view value, int field) {
    auto r = PW::Load::find_account(text, value, field);
    if (!r)
        return;
    if (field == PW::NAME_FIELD)
        FUZZ_CHECK(r->name == value);
    else
        FUZZ_CHECK(std::to_string(r->uid) == value);
    FUZZ_CHECK(r->uid != static_cast<uid_t>(-1));
    PW::Record copy = *r;
    (void)PW::Load::apply_shadow(text, copy);
    FUZZ_CHECK(copy.name == r->name && copy.uid == r->uid);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = Fuzz::text(data, size);
    for (const char* name : {"root", "mail", "www-data", "nobody", "web.user-1"})
        check_found(text, name, PW::NAME_FIELD);
    for (const char* uid : {"0", "8", "33", "65534", "1001"})
        check_found(text, uid, PW::UID_FIELD);
    // Whatever the first line names, it is looked up too.
    std::string_view first = text.substr(0, text.find(':'));
    if (first.size() < text.size())
        check_found(text, first, PW::NAME_FIELD);
    return 0;
}
