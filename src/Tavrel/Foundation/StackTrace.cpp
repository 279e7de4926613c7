#include "Tavrel/Foundation/StackTrace.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace Tavrel::Foundation::StackTrace {

namespace {

// A demangled function name without its parameter list, which for template
// code is long enough to drown the trace.
std::string without_parameters(std::string name) {
    constexpr std::string_view konst = " const";
    if (name.size() > konst.size() &&
        name.compare(name.size() - konst.size(), konst.size(), konst) == 0) {
        name.resize(name.size() - konst.size());
    }
    if (name.empty() || name.back() != ')')
        return name;
    int depth = 0;
    for (std::size_t i = name.size(); i-- > 0;) {
        if (name[i] == ')')
            ++depth;
        if (name[i] == '(' && --depth == 0)
            return i == 0 ? name : name.substr(0, i);
    }
    return name;
}

// "binary(mangled+0x1c) [0x...]" becomes "demangled+0x1c (binary)".
std::string readable(std::string_view symbol) {
    std::size_t open = symbol.find('(');
    std::size_t plus = symbol.find('+', open == std::string_view::npos ? 0 : open);
    std::size_t close = symbol.find(')', plus == std::string_view::npos ? 0 : plus);
    if (open == std::string_view::npos || plus == std::string_view::npos ||
        close == std::string_view::npos || plus == open + 1) {
        return std::string(symbol);
    }
    std::string mangled(symbol.substr(open + 1, plus - open - 1));
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? without_parameters(demangled) : mangled;
    std::free(demangled);
    return name + std::string(symbol.substr(plus, close - plus)) + " (" +
           std::string(symbol.substr(0, open)) + ")";
}

}  // namespace

Frames capture(int skip) {
    int saved = errno;
    void* buffer[64];
    int depth = backtrace(buffer, 64);
    int first = 1 + skip;
    auto frames = std::make_shared<std::vector<void*>>();
    for (int i = first; i < depth; ++i)
        frames->push_back(buffer[i]);
    errno = saved;
    return frames;
}

std::string to_text(const Frames& frames) {
    if (!frames || frames->empty())
        return {};
    int saved = errno;
    char** symbols = backtrace_symbols(frames->data(), static_cast<int>(frames->size()));
    std::string text;
    for (std::size_t i = 0; i < frames->size(); ++i) {
        text += "\tat ";
        text += symbols ? readable(symbols[i]) : "?";
        text += '\n';
    }
    std::free(symbols);
    errno = saved;
    return text;
}

std::string capture_text(int skip) {
    return to_text(capture(skip + 1));
}

}  // namespace Tavrel::Foundation::StackTrace
