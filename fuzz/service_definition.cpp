// An administrator's service definition (JSON with comments) applied to a
// service object: a definition is either used or refused with the loader's
// error (Module::LoadFailed naming the file and line), never anything else,
// and a used one set only attributes the object knows.
#include "Check.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Service/Base.h"
#include "Tavrel/Catalogue/Definition.h"

#include <algorithm>
#include <string>

using Tavrel::Service::Base;
using Tavrel::Catalogue::Definition;

namespace {

const std::string PATH = "/etc/zidavoveva/services/Fuzzd.json";

void check_refusal(const Tavrel::Foundation::Exception& e) {
    FUZZ_CHECK(e.isa("Module::LoadFailed"));
    FUZZ_CHECK(e.to_string_no_id().find(PATH) != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Tavrel::Foundation::Exception::StackTraceSuppressor quiet;
    std::string text(Fuzz::text(data, size));
    std::optional<Definition> def;
    try {
        def = Definition::parse(PATH, text);
    } catch (const Tavrel::Foundation::Exception& e) {
        check_refusal(e);
        return 0;
    }
    FUZZ_CHECK(!def->attributes().contains("hot"));
    Base object;
    try {
        def->apply(object);
    } catch (const Tavrel::Foundation::Exception& e) {
        check_refusal(e);
        return 0;
    }
    const auto names = object.attribute_names();
    for (const auto& [key, value] : def->attributes().items())
        FUZZ_CHECK(std::find(names.begin(), names.end(), key) != names.end());
    return 0;
}
