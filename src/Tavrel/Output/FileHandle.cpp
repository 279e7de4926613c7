#include "Tavrel/Output/FileHandle.h"

#include "Tavrel/Foundation/IO/Flush.h"

#include <unistd.h>

#include <cerrno>

namespace Tavrel::Output {

namespace {

class FdHandle final : public FileHandle {
  public:
    explicit FdHandle(int fd) : fd_(fd) {}

    bool write(std::string_view text) override { return Foundation::IO::Flush::try_write_all(fd_, text); }

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
