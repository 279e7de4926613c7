// Tavrel::Foundation::IO::Flush: the full-write loop every writer of the library uses.
//
//   Tavrel::Foundation::IO::Flush::write_all(fd, text);        // all of it, or an exception
//   Tavrel::Foundation::IO::Flush::write_all(fd, text, 30);    // ... never stalled more than 30 s
//   Tavrel::Foundation::IO::Flush::try_write_all(fd, line);    // false instead of an exception
//   Tavrel::Foundation::IO::Flush::append_record(log_fd, line); // a whole log line or none
//
// Short writes are continued and interrupted writes (EINTR) repeated; on a
// non-blocking descriptor that is full (EAGAIN) the loop waits until it is
// writable again. With a time limit no wait for the descriptor lasts longer
// than that: a blocking descriptor is then written in pieces small enough
// (PIPE_BUF) never to block once it polls writable. A wait that runs out
// throws Timeout ("timeout"), a failing wait Io::WaitFailed ("error"), any
// other write failure Io::WriteFailed with "length" (the bytes still to write)
// and "error" (errno). A write that makes no progress is a programming fault
// (Tavrel::Foundation::PlainError). errno is unchanged on success.
#pragma once

#include <csignal>
#include <string_view>

namespace Tavrel::Foundation::IO::Flush {

// `time_limit` in seconds bounds each wait for the descriptor; 0 means none.
void write_all(int fd, std::string_view data, double time_limit = 0);
// The same loop for writers whose failures must never interrupt the caller (the
// logger, the output objects): false instead of an exception; errno unchanged.
// A reader that went away (EPIPE) is one more such failure: SIGPIPE is held
// off for the write, so it can never end the process.
bool try_write_all(int fd, std::string_view data) noexcept;
// One record (a log line) appended to a file opened with O_APPEND: all of it
// or, as far as this writer can tell, none. A full file system or a file-size
// limit that takes only the start of the record gets that start cut off again
// (while the file still ends with it), so the next record never continues a
// broken line. Any other descriptor is written as try_write_all does. False
// when the record was not written whole; errno unchanged. A failed write's
// error goes to `write_error` when given (0 when only part was written).
bool append_record(int fd, std::string_view record, int* write_error = nullptr) noexcept;

// Holds SIGPIPE off for its life: a write to a pipe or socket whose reader
// has gone fails with EPIPE instead of ending the process, and the signal
// such a write raised is taken back before the caller's signal mask is
// restored. When the caller blocks SIGPIPE already, it is left to the caller.
//
//   { Tavrel::Foundation::IO::Flush::QuietSigpipe quiet; std::fflush(stdout); }
class [[nodiscard]] QuietSigpipe final {
  public:
    QuietSigpipe() noexcept;
    ~QuietSigpipe();
    QuietSigpipe(const QuietSigpipe&) = delete;
    QuietSigpipe& operator=(const QuietSigpipe&) = delete;

  private:
    sigset_t saved_{};
    bool active_ = false;
};

}  // namespace Tavrel::Foundation::IO::Flush
