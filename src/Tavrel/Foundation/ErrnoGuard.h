// Tavrel::Foundation::ErrnoGuard: keeps the caller's errno across a shared function.
// Shared functions leave errno as they found it unless they report an error;
// call reporting() on the path that does.
//
//   Tavrel::Foundation::ErrnoGuard keep;
//   if (::rename(a, b) != 0) { keep.reporting(); throw ...; }
#pragma once

#include <cerrno>

namespace Tavrel::Foundation {

class [[nodiscard]] ErrnoGuard final {
  public:
    ErrnoGuard() : saved_(errno) {}
    ~ErrnoGuard() {
        if (keep_)
            errno = saved_;
    }
    ErrnoGuard(const ErrnoGuard&) = delete;
    ErrnoGuard& operator=(const ErrnoGuard&) = delete;

    // From here on errno is the error being reported and is left alone.
    void reporting() { keep_ = false; }

  private:
    int saved_;
    bool keep_ = true;
};

}  // namespace Tavrel::Foundation
