// The JSON loaders (strict and relaxed) and the \u-escape rewriter, with the
// promises between them: relaxed syntax reads strict JSON the same way; the
// rewriter never changes what a document means; what is dumped loads back.
#include "Check.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Config/JSON.h"
#include "Tavrel/Config/JSON/Unicode.h"

#include <optional>
#include <string>

namespace JSON = Tavrel::Config::JSON;

namespace {

template <class F>
std::optional<JSON::Value> attempt(F&& load) {
    try {
        return load();
    } catch (const Tavrel::Foundation::Exception& e) {
        FUZZ_CHECK(e.class_name().find("JSONParseError") != std::string::npos);
        return std::nullopt;
    }
}

// Values equal, with NaN-free numbers compared as JSON compares them.
bool same(const JSON::Value& a, const JSON::Value& b) {
    return a == b || JSON::Dump(a) == JSON::Dump(b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = Fuzz::text(data, size);
    Tavrel::Foundation::Exception::StackTraceSuppressor quiet;
    auto strict = attempt([&] { return JSON::Load(text); });
    auto relaxed = attempt([&] { return JSON::LoadRelaxed(text); });
    (void)JSON::looks_like_json(text);
    if (strict) {
        FUZZ_CHECK(relaxed && same(*strict, *relaxed));
        auto rewritten = attempt(
            [&] { return JSON::Load(JSON::Unicode::replace_unicode_escapes_with_utf8(text)); });
        FUZZ_CHECK(rewritten && same(*strict, *rewritten));
        // The lenient dump always loads back.
        auto again = attempt([&] { return JSON::Load(JSON::Dump(*strict)); });
        FUZZ_CHECK(again);
        auto safe = attempt([&] { return JSON::Load(JSON::SafeDump(*strict)); });
        FUZZ_CHECK(safe && same(*again, *safe));
        (void)JSON::pretty_dump(*strict);
    }
    return 0;
}
