#include "Tavrel/Output/Callback/LineWrite.h"

#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/PlainError.h"

namespace Tavrel {

IOCallbackWriteLine::Buffer::Buffer(LineFunction function) : function_(std::move(function)) {
    if (!function_)
        throw PlainError("IOCallbackWriteLine needs a function to deliver lines to");
}

IOCallbackWriteLine::Buffer::~Buffer() {
    if (!pending_.empty())
        Debug::log_warn("Line buffer discarded with undelivered text: " + pending_);
}

void IOCallbackWriteLine::Buffer::add(std::string_view text) {
    pending_ += text;
    if (pending_.find('\n') == std::string::npos)
        return;

    // Deliver from a private copy, so the function may write to this buffer
    // again; whatever was not delivered goes back in front, also when the
    // function throws.
    std::string taken;
    taken.swap(pending_);
    std::size_t pos = 0;
    struct PutBack {
        std::string& taken;
        std::size_t& pos;
        std::string& pending;
        ~PutBack() { pending.insert(0, taken, pos); }
    } put_back{taken, pos, pending_};
    for (std::size_t nl = taken.find('\n'); nl != std::string::npos; nl = taken.find('\n', pos)) {
        std::size_t start = pos;
        pos = nl + 1;
        function_(std::string_view(taken).substr(start, pos - start));
    }
}

void IOCallbackWriteLine::Buffer::clear() {
    if (pending_.empty())
        return;
    std::string line;
    line.swap(pending_);
    function_(line);
}

IOCallbackWriteLine::IOCallbackWriteLine(LineFunction function) : buffer_(std::move(function)) {}

IOCallbackWriteLine::~IOCallbackWriteLine() {
    try {
        close();
    } catch (const std::exception& e) {
        Debug::log_warn(std::string("Delivering the last line failed: ") + e.what());
    } catch (...) {
        Debug::log_warn("Delivering the last line failed");
    }
}

bool IOCallbackWriteLine::write(std::string_view text) {
    if (!open_)
        return false;
    buffer_.add(text);
    return true;
}

void IOCallbackWriteLine::clear() {
    buffer_.clear();
}

void IOCallbackWriteLine::close() {
    if (!open_)
        return;
    open_ = false;
    buffer_.clear();
}

}  // namespace Tavrel
