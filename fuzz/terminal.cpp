// Terminal capabilities: the colour count in terminfo output and in a
// terminal's name.
#include "Check.h"

#include "Tavrel/Output/ColorSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = Fuzz::text(data, size);
    if (auto n = Tavrel::Output::ColorSupport::parse_infocmp_colors(text))
        FUZZ_CHECK(*n > 0);
    if (auto n = Tavrel::Output::ColorSupport::colors_from_name(text))
        FUZZ_CHECK(*n >= 0);
    return 0;
}
