// Tavrel::Foundation::Fd::Real: whether a handle stands for a real descriptor.
#pragma once

#include "Tavrel/Foundation/Fd/UniqueFd.h"

namespace Tavrel::Foundation::Fd::Real {

// true for a descriptor number (anything but the "none" value -1).
inline bool is_os_filehandle(int fd) {
    return fd >= 0;
}
inline bool is_os_filehandle(const UniqueFd& fd) {
    return fd.get() >= 0;
}

}  // namespace Tavrel::Foundation::Fd::Real
