#include "Tavrel/Output/Callback/LineWrite.h"

#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/PlainError.h"

namespace Tavrel::Output::Callback {

LineWrite::Buffer::Buffer(LineFunction function) : function_(std::move(function)) {
    if (!function_)
        throw Foundation::PlainError("IOCallbackWriteLine needs a function to deliver lines to");
}

LineWrite::Buffer::~Buffer() {
    if (!pending_.empty())
        Foundation::Debug::log_warn("Line buffer discarded with undelivered text: " + pending_);
}

void LineWrite::Buffer::add(std::string_view text) {
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

void LineWrite::Buffer::clear() {
    if (pending_.empty())
        return;
    std::string line;
    line.swap(pending_);
    function_(line);
}

LineWrite::LineWrite(LineFunction function) : buffer_(std::move(function)) {}

LineWrite::~LineWrite() {
    try {
        close();
    } catch (const std::exception& e) {
        Foundation::Debug::log_warn(std::string("Delivering the last line failed: ") + e.what());
    } catch (...) {
        Foundation::Debug::log_warn("Delivering the last line failed");
    }
}

bool LineWrite::write(std::string_view text) {
    if (!open_)
        return false;
    buffer_.add(text);
    return true;
}

void LineWrite::clear() {
    buffer_.clear();
}

void LineWrite::close() {
    if (!open_)
        return;
    open_ = false;
    buffer_.clear();
}

}  // namespace Tavrel::Output::Callback
