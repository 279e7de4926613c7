#include "Tavrel/Run/ReadMultipleFH.h"

#include "Tavrel/Foundation/ErrnoGuard.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/IO/Flush.h"
#include "Tavrel/Run/SafeRun/SignalGuard.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <limits>

namespace Tavrel::Run {

namespace {

using Clock = std::chrono::steady_clock;

void set_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        throw Foundation::Exception::create("Io::FcntlFailed", {{"error", errno}});
    if ((flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        throw Foundation::Exception::create("Io::FcntlFailed", {{"error", errno}});
    }
}

struct Source {
    int fd;
    std::shared_ptr<std::string> buffer;
    ReadMultipleFH::Target target;
    bool open = true;
};

// Reads what is there; returns false at end of file. A read error ends that
// handle the same way: what it gave so far is kept, and the other handles
// are read on, so one broken descriptor never costs the whole run.
bool read_ready(Source& src) {
    // One scratch buffer: growing the target by a whole chunk before each read
    // would cost a chunk-sized fill even when the pipe holds only a few bytes.
    static thread_local std::vector<char> scratch;
    scratch.resize(ReadMultipleFH::CHUNK_SIZE);
    const ssize_t n = ::read(src.fd, scratch.data(), scratch.size());
    if (n > 0) {
        src.buffer->append(scratch.data(), static_cast<std::size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    return false;
}

// Hands what was read to a copy target at once. `time_limit` bounds each wait
// for a descriptor target that does not take the data (0: none).
void deliver(Source& src, double time_limit) {
    if (const auto* copy = std::get_if<ReadMultipleFH::CopyTo>(&src.target)) {
        Foundation::IO::Flush::write_all(copy->fd, *src.buffer, time_limit);
        src.buffer->clear();
    } else if (auto* const* os = std::get_if<std::ostream*>(&src.target)) {
        (*os)->write(src.buffer->data(), static_cast<std::streamsize>(src.buffer->size()));
        src.buffer->clear();
    }
}

// The input side of the loop: a text, then a stream, written as the pipe takes it.
class Feeder {
  public:
    explicit Feeder(std::optional<ReadMultipleFH::Feed>& feed) {
        if (!feed || !feed->fd)
            return;
        fd_ = std::move(feed->fd);
        text_ = std::move(feed->text);
        stream_ = feed->stream;
        set_nonblocking(fd_.get());
        if (!text_)
            text_ = std::make_shared<const std::string>();
        if (!refill())
            fd_.reset();
    }
    bool active() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.get(); }

    // Writes as much as the pipe takes now.
    void write_ready() {
        while (fd_) {
            const std::string_view rest = pending();
            const ssize_t n = ::write(fd_.get(), rest.data(), rest.size());
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN)
                    return;
                if (errno == EPIPE) {
                    fd_.reset();
                    return;
                }
                throw Foundation::Exception::create("Io::WriteFailed",
                                        {{"length", rest.size()}, {"error", errno}});
            }
            offset_ += static_cast<std::size_t>(n);
            if (offset_ == current().size() && !refill())
                fd_.reset();
        }
    }

  private:
    const std::string& current() const { return using_chunk_ ? chunk_ : *text_; }
    std::string_view pending() const { return std::string_view(current()).substr(offset_); }

    // Moves on to the next piece of input; false when there is none.
    bool refill() {
        if (offset_ < current().size())
            return true;
        if (!stream_)
            return false;
        chunk_.resize(ReadMultipleFH::CHUNK_SIZE);
        stream_->read(chunk_.data(), static_cast<std::streamsize>(chunk_.size()));
        chunk_.resize(static_cast<std::size_t>(stream_->gcount()));
        using_chunk_ = true;
        offset_ = 0;
        if (stream_->bad()) {
            throw Foundation::Exception::create("Io::ReadFailed", {{"path", "input stream"},
                                                       {"chunk_size", ReadMultipleFH::CHUNK_SIZE},
                                                       {"error", errno ? errno : EIO}});
        }
        if (chunk_.empty())
            return false;
        return true;
    }

    Foundation::Fd::UniqueFd fd_;
    std::shared_ptr<const std::string> text_;
    std::istream* stream_ = nullptr;
    std::string chunk_;
    bool using_chunk_ = false;
    std::size_t offset_ = 0;
};

// Milliseconds for poll: the shorter of the two limits that apply, -1 for none.
int wait_ms(std::optional<double> overall_left, double idle) {
    double wait = -1;
    if (overall_left)
        wait = *overall_left;
    if (idle > 0 && (wait < 0 || idle < wait))
        wait = idle;
    if (wait < 0)
        return -1;
    const double ms = std::ceil(wait * 1000);
    return ms > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                : static_cast<int>(ms);
}

// The bound of one wait for a copy target: the shorter of the overall time
// left and the idle limit; 0 when neither applies.
double copy_time_limit(std::optional<double> overall_left, double idle) {
    double limit = idle > 0 ? idle : 0;
    if (overall_left && (limit == 0 || *overall_left < limit))
        limit = std::max(*overall_left, 1e-3);
    return limit;
}

}  // namespace

ReadMultipleFH::ReadMultipleFH(Options options) {
    // The reads and polls below leave EAGAIN and the like in errno; the
    // caller's errno survives them.
    Foundation::ErrnoGuard keep_errno;
    const double timeout = options.timeout.value_or(DEFAULT_TIMEOUT);
    const double idle = options.read_timeout.value_or(DEFAULT_READ_TIMEOUT);

    bool copies = false;
    std::vector<Source> sources;
    sources.reserve(options.filehandles.size());
    for (auto& entry : options.filehandles) {
        set_nonblocking(entry.fd);
        auto buffer = std::make_shared<std::string>();
        if (auto* given = std::get_if<std::shared_ptr<std::string>>(&entry.target)) {
            if (*given)
                buffer = *given;
        }
        const bool copied = std::holds_alternative<CopyTo>(entry.target) ||
                            std::holds_alternative<std::ostream*>(entry.target);
        copies = copies || copied;
        if (!copied)
            buffers_[entry.fd] = buffer;
        sources.push_back({entry.fd, buffer, entry.target});
    }
    // A reader that went away must show up as EPIPE, not kill this process.
    std::optional<SafeRun::SignalGuard> no_sigpipe;
    if (options.feed || copies)
        no_sigpipe.emplace(SIGPIPE, SIG_IGN);
    Feeder feeder(options.feed);

    const auto start = Clock::now();
    std::size_t open_sources = sources.size();
    std::vector<pollfd> fds;
    std::vector<Source*> polled;
    while (open_sources > 0 || feeder.active()) {
        std::optional<double> left;
        if (timeout > 0) {
            left = timeout - std::chrono::duration<double>(Clock::now() - start).count();
            if (*left <= 0) {
                timed_out_ = timeout;
                break;
            }
        }
        const int ms = wait_ms(left, idle);
        fds.clear();
        polled.clear();
        for (auto& src : sources) {
            if (!src.open)
                continue;
            fds.push_back({src.fd, POLLIN, 0});
            polled.push_back(&src);
        }
        if (feeder.active())
            fds.push_back({feeder.fd(), POLLOUT, 0});

        const int rc = ::poll(fds.data(), fds.size(), ms);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            throw Foundation::Exception::create("Io::WaitFailed", {{"error", errno}});
        }
        if (rc == 0) {
            const bool idle_bound = idle > 0 && (!left || idle <= *left);
            timed_out_ = idle_bound ? idle : timeout;
            break;
        }
        for (std::size_t i = 0; i < polled.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            Source& src = *polled[i];
            if (!read_ready(src)) {
                src.open = false;
                --open_sources;
            }
            // A copy target that stalls must not hold the read past its limits.
            deliver(src, copy_time_limit(left, idle));
        }
        if (feeder.active() && fds.back().revents != 0)
            feeder.write_ready();
    }
    finished_ = open_sources == 0 && !feeder.active();
    if (!finished_ && timed_out_ == 0)
        timed_out_ = timeout;
}

std::shared_ptr<std::string> ReadMultipleFH::get_buffer(int fd) const {
    auto it = buffers_.find(fd);
    return it == buffers_.end() ? nullptr : it->second;
}

}  // namespace Tavrel::Run
