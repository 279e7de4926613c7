// Tavrel::Output::Callback::Write: a write handle that hands every write to a
// function instead of a descriptor, so that text meant for a stream (an output
// object's lines, a report) can be captured or relayed.
//
//   std::string captured;
//   Tavrel::Output::Base::Options options;
//   options.filehandle = std::make_shared<Tavrel::Output::Callback::Write>(
//       [&](std::string_view text) { captured += text; });
//   Tavrel::Output::Formatted::Plain out(options);
//
// It has no descriptor (fileno() is -1) and closing it does nothing.
#pragma once

#include "Tavrel/Output/FileHandle.h"

#include <fmt/format.h>

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Output::Callback {

class Write final : public Output::FileHandle {
  public:
    using Function = std::function<void(std::string_view)>;

    // An empty function is a programming fault (Tavrel::Foundation::PlainError).
    explicit Write(Function function);

    // Passes `text` to the function when it is not empty. Always true.
    bool write(std::string_view text) override;

    // Passes the slice of `buffer` of `length` bytes (all when not given; cut
    // to what the buffer holds) from `offset` (counted from the end when
    // negative) and returns its size. A negative length, a negative offset
    // reaching before the start, or an offset past the end of a non-empty
    // buffer is a programming fault (Tavrel::Foundation::PlainError).
    std::size_t write(std::string_view buffer, std::optional<long> length, long offset = 0);

    // The parts joined with output_field_separator, then
    // output_record_separator, as one write.
    bool print(std::initializer_list<std::string_view> parts);

    template <class... Args>
    bool printf(fmt::format_string<Args...> format, Args&&... args) {
        return write(fmt::format(format, std::forward<Args>(args)...));
    }

    int fileno() const override { return -1; }
    void close() {}

    std::string output_field_separator;
    std::string output_record_separator;

  private:
    Function function_;
};

}  // namespace Tavrel::Output::Callback
