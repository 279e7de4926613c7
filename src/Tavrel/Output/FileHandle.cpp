#include "Tavrel/Output/FileHandle.h"

#include <unistd.h>

#include <cerrno>

namespace Tavrel::Output {

namespace {

class FdHandle final : public FileHandle {
  public:
    explicit FdHandle(int fd) : fd_(fd) {}

    bool write(std::string_view text) override {
        while (!text.empty()) {
            ssize_t n = ::write(fd_, text.data(), text.size());
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            text.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    int fileno() const override { return fd_; }

  private:
    int fd_;
};

}  // namespace

std::shared_ptr<FileHandle> FileHandle::from_fd(int fd) {
    return std::make_shared<FdHandle>(fd);
}

std::shared_ptr<FileHandle> FileHandle::standard_output() {
    return from_fd(STDOUT_FILENO);
}

}  // namespace Tavrel::Output
