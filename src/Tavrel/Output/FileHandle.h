// Tavrel::Output::FileHandle: where an output object's text goes. A handle is
// either a descriptor (standard output unless told otherwise) or one of the
// callback handles (Tavrel::Output::Callback::Write, Tavrel::Output::Callback::LineWrite)
// that hand the text to a function, so a caller can capture or relay it.
//
//   Tavrel::Output::Base::Options options;
//   options.filehandle = Tavrel::Output::FileHandle::from_fd(pipe_write_end);
//   Tavrel::Output::Formatted::Plain out(options);
//
// A descriptor handle never owns or closes its descriptor.
#pragma once

#include <memory>
#include <string_view>

namespace Tavrel::Output {

class FileHandle {
  public:
    virtual ~FileHandle() = default;

    // Writes all of `text`. False when it could not be written (the reason is
    // in errno for descriptor handles). Never throws for write failures.
    virtual bool write(std::string_view text) = 0;
    // The descriptor number, or -1 for a handle that is not a descriptor.
    virtual int fileno() const = 0;

    // A handle writing to `fd` with unbuffered system writes (retried on
    // interruption and short writes).
    static std::shared_ptr<FileHandle> from_fd(int fd);
    static std::shared_ptr<FileHandle> standard_output();
};

}  // namespace Tavrel::Output
