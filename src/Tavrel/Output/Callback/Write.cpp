#include "Tavrel/Output/Callback/Write.h"

#include "Tavrel/Foundation/PlainError.h"

namespace Tavrel::Output::Callback {

Write::Write(Function function) : function_(std::move(function)) {
    if (!function_)
        throw Foundation::PlainError("IO::Callback::Write needs a function to write to");
}

bool Write::write(std::string_view text) {
    if (!text.empty())
        function_(text);
    return true;
}

std::size_t Write::write(std::string_view buffer, std::optional<long> length, long offset) {
    const long size = static_cast<long>(buffer.size());
    long len = length.value_or(size);
    if (len < 0)
        throw Foundation::PlainError("Negative length " + std::to_string(len) + " in write");
    if (offset < 0) {
        offset += size;
        if (offset < 0)
            throw Foundation::PlainError("Offset outside the buffer in write");
    } else if (offset > size && size > 0) {
        throw Foundation::PlainError("Offset outside the buffer in write");
    }
    if (offset > size)
        offset = size;
    if (len > size - offset)
        len = size - offset;
    if (len > 0)
        function_(buffer.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(len)));
    return static_cast<std::size_t>(len);
}

bool Write::print(std::initializer_list<std::string_view> parts) {
    std::string joined;
    bool first = true;
    for (std::string_view part : parts) {
        if (!first)
            joined += output_field_separator;
        joined += part;
        first = false;
    }
    joined += output_record_separator;
    return write(std::string_view(joined));
}

}  // namespace Tavrel::Output::Callback
