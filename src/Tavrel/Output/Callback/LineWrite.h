// Tavrel::Output::Callback::LineWrite: a write handle that delivers whole lines to a
// function. Written text is buffered; each complete line (with its newline) is
// passed on as soon as it is there, and a trailing partial line waits for the
// rest, for clear() or for close().
//
//   std::vector<std::string> lines;
//   auto fh = std::make_shared<Tavrel::Output::Callback::LineWrite>(
//       [&](std::string_view line) { lines.emplace_back(line); });
//   fh->write("one\ntw");   // delivers "one\n"
//   fh->close();            // delivers "tw"
//
// The handle closes itself when destroyed. It has no descriptor (fileno() is
// -1); writes after close() are refused (they return false).
#pragma once

#include "Tavrel/Output/FileHandle.h"

#include <functional>
#include <string>
#include <string_view>

namespace Tavrel::Output::Callback {

class LineWrite final : public Output::FileHandle {
  public:
    using LineFunction = std::function<void(std::string_view)>;

    // The line buffer itself. Destroying it while it still holds text writes a
    // warning naming that text.
    class Buffer {
      public:
        explicit Buffer(LineFunction function);
        ~Buffer();
        Buffer(const Buffer&) = delete;
        Buffer& operator=(const Buffer&) = delete;

        void add(std::string_view text);
        // Delivers the pending partial line, if any.
        void clear();
        const std::string& pending() const { return pending_; }

      private:
        LineFunction function_;
        std::string pending_;
    };

    // An empty function is a programming fault (Tavrel::Foundation::PlainError).
    explicit LineWrite(LineFunction function);
    ~LineWrite() override;
    LineWrite(const LineWrite&) = delete;
    LineWrite& operator=(const LineWrite&) = delete;

    bool write(std::string_view text) override;
    int fileno() const override { return -1; }

    void clear();
    // Delivers the pending partial line and ends the handle.
    void close();
    bool is_open() const { return open_; }

  private:
    Buffer buffer_;
    bool open_ = true;
};

}  // namespace Tavrel::Output::Callback
