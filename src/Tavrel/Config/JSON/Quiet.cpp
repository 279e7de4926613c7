#include "Tavrel/Config/JSON/Quiet.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/LoadFile.h"

#include <cerrno>

namespace Tavrel::Config::JSON::Quiet {

bool LoadJSONModule() {
    return true;
}

std::optional<Value> LoadFile(const std::string& path) noexcept {
    const int saved = errno;
    std::optional<Value> result;
    try {
        // Stack traces are not wanted for failures that are thrown away.
        Foundation::Exception::StackTraceSuppressor quiet;
        if (auto text = Foundation::LoadFile::loadfile(path); text && !text->empty()) {
            result = Load(*text, path);
        }
    } catch (...) {
        result.reset();
    }
    errno = saved;
    return result;
}

}  // namespace Tavrel::Config::JSON::Quiet
