#include "Tavrel/StackTrace.h"

#include <execinfo.h>

#include <cstdlib>

namespace Tavrel::StackTrace {

Frames capture(int skip) {
    void* buffer[64];
    int depth = backtrace(buffer, 64);
    int first = 1 + skip;
    auto frames = std::make_shared<std::vector<void*>>();
    for (int i = first; i < depth; ++i) frames->push_back(buffer[i]);
    return frames;
}

std::string to_text(const Frames& frames) {
    if (!frames || frames->empty()) return {};
    char** symbols = backtrace_symbols(frames->data(), static_cast<int>(frames->size()));
    std::string text;
    for (std::size_t i = 0; i < frames->size(); ++i) {
        text += "\tat ";
        text += symbols ? symbols[i] : "?";
        text += '\n';
    }
    std::free(symbols);
    return text;
}

std::string capture_text(int skip) { return to_text(capture(skip + 1)); }

}  // namespace Tavrel::StackTrace
