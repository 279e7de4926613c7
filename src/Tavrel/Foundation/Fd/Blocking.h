// Tavrel::Foundation::Fd::Blocking: read and change a descriptor's O_NONBLOCK flag.
// Failures of fcntl throw Io::FcntlFailed. Each returns true.
#pragma once

namespace Tavrel::Foundation::Fd::Blocking {

bool set_non_blocking(int fd);
bool set_blocking(int fd);
// true when reads and writes on the descriptor block.
bool is_set_to_block(int fd);

}  // namespace Tavrel::Foundation::Fd::Blocking
