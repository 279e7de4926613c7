// Tavrel::Run::ReadMultipleFH: reads several descriptors at once until every one
// reaches end of file or a time limit is hit, so a child filling one pipe
// never blocks while we wait on another. It can also feed one descriptor
// (a child's input) in the same loop, so a child that writes before it has
// read all its input cannot deadlock us.
//
// All the work happens in the constructor.
//
//   Tavrel::Run::ReadMultipleFH r({.filehandles = {{out.get()}, {err.get()}}, .timeout = 30});
//   if (!r.did_finish()) ...;            // r.timed_out() is the limit hit
//   std::string text = *r.get_buffer(out.get());
//
// Every handle is switched to non-blocking mode. A handle alone gets a fresh
// buffer; a pair fills the caller's buffer, or copies the data at once into a
// caller's descriptor (full writes, Tavrel::Foundation::IO::Flush) or stream.
#pragma once

#include "Tavrel/Foundation/Fd/UniqueFd.h"

#include <cstddef>
#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

namespace Tavrel::Run {

class ReadMultipleFH {
  public:
    // Overall limit in seconds (0: none).
    static inline double DEFAULT_TIMEOUT = 600;
    // Idle limit in seconds: the longest wait without any progress (0: none).
    static inline double DEFAULT_READ_TIMEOUT = 0;
    // Bytes per read.
    static inline std::size_t CHUNK_SIZE = 131072;

    // Copy what is read into this caller's descriptor.
    struct CopyTo {
        int fd = -1;
    };
    // Where the data of one handle goes: a fresh buffer (the default), the
    // caller's buffer, a caller's descriptor or a caller's stream.
    using Target =
        std::variant<std::monostate, std::shared_ptr<std::string>, CopyTo, std::ostream*>;
    struct Entry {
        int fd = -1;
        Target target{};
    };
    // Data written to `fd` while reading: `text` first, then `stream` read in
    // CHUNK_SIZE pieces. The descriptor is closed once everything is written
    // or the reader went away (EPIPE), which is not an error: a program may
    // well exit without reading all its input.
    struct Feed {
        Foundation::Fd::UniqueFd fd{};
        std::shared_ptr<const std::string> text{};
        std::istream* stream = nullptr;
    };
    struct Options {
        std::vector<Entry> filehandles{};
        std::optional<double> timeout{};       // default DEFAULT_TIMEOUT
        std::optional<double> read_timeout{};  // default DEFAULT_READ_TIMEOUT
        std::optional<Feed> feed{};
    };

    // A read error on a handle ends that handle as end of file does (what it
    // gave so far is kept); the others are read on. Throws Io::ReadFailed for
    // a failing input stream (with the chunk size), Io::WriteFailed for a
    // write error other than EPIPE on the feed ("length": bytes left,
    // "error") and for any write error on a copy target (EPIPE included: a
    // reader that went away fails the copy, it never kills the process),
    // Timeout when a copy target takes nothing for the shorter of the idle
    // limit and the time left, and Io::WaitFailed when poll fails. errno is
    // unchanged when nothing is thrown.
    explicit ReadMultipleFH(Options options);

    // The text read from `fd`; nullptr for data copied elsewhere or an unknown fd.
    std::shared_ptr<std::string> get_buffer(int fd) const;
    // True when every handle reached end of file (and the feed, if any, ended).
    bool did_finish() const { return finished_; }
    // The limit that ended the read (the overall or the idle limit), or 0.
    double timed_out() const { return timed_out_; }

  private:
    std::map<int, std::shared_ptr<std::string>> buffers_;
    bool finished_ = false;
    double timed_out_ = 0;
};

}  // namespace Tavrel::Run
