#include "Tavrel/Config/ProductData.h"

#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/LoadFile.h"

#include <cerrno>

namespace Tavrel::Config::ProductData {

bool LoadModule() {
    return true;
}

std::optional<JSON::Value> LoadFile(const std::string& path) noexcept {
    const int saved = errno;
    std::optional<JSON::Value> result;
    try {
        Foundation::Exception::StackTraceSuppressor quiet;
        if (auto text = Foundation::LoadFile::loadfile(path); text && !text->empty()) {
            result = JSON::LoadRelaxed(*text, path);
        }
    } catch (const std::exception& e) {
        result.reset();
        Foundation::Debug::log_debug("Ignoring the unreadable data file \"" + path + "\": " + e.what());
    } catch (...) {
        result.reset();
    }
    errno = saved;
    return result;
}

}  // namespace Tavrel::Config::ProductData
