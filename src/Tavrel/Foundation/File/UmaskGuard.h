// Tavrel::Foundation::File::UmaskGuard: sets the process umask for the life of the
// guard and restores it even on unwind, so that a file or directory is made
// with exactly the permissions asked for.
//
//   {
//       Tavrel::Foundation::File::UmaskGuard mask(~0600 & 0777);
//       fd = ::open(path, O_CREAT | O_WRONLY, 0600);
//   }
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace Tavrel::Foundation::File {

class UmaskGuard {
  public:
    explicit UmaskGuard(mode_t mask) : old_(::umask(mask)) {}
    ~UmaskGuard() { ::umask(old_); }
    UmaskGuard(const UmaskGuard&) = delete;
    UmaskGuard& operator=(const UmaskGuard&) = delete;

  private:
    mode_t old_;
};

}  // namespace Tavrel::Foundation::File
