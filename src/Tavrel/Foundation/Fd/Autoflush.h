// Tavrel::Foundation::Fd::Autoflush: make every write on a handle go out at once.
// The library writes through raw descriptors, which have no user-space buffer,
// so enable() only checks that the descriptor is open (Io::FcntlFailed if not).
#pragma once

namespace Tavrel::Foundation::Fd::Autoflush {

bool enable(int fd);

}  // namespace Tavrel::Foundation::Fd::Autoflush
