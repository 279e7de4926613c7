// Shared helpers of the fuzz targets: the input as text, and a check that
// stops the run with a message when a parser breaks one of its promises
// (libFuzzer then keeps the input as a crash).
//
//   extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
//       auto text = Fuzz::text(data, size);
//       FUZZ_CHECK(parse(text).size() <= text.size());
//       return 0;
//   }
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace Fuzz {

inline std::string_view text(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: broken promise: %s\n", file, line, what);
    std::abort();
}

}  // namespace Fuzz

#define FUZZ_CHECK(cond)                                \
    do {                                                \
        if (!(cond))                                    \
            ::Fuzz::fail(#cond, __FILE__, __LINE__);    \
    } while (0)
