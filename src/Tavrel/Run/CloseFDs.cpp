#include "Tavrel/Run/CloseFDs.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#ifndef SYS_close_range
#define SYS_close_range 436
#endif

namespace Tavrel::Run::CloseFDs {

namespace {

// Closes [first, last]; `last` ~0U means "to the end".
void close_from_to(unsigned first, unsigned last) {
    if (first > last)
        return;
    if (::syscall(SYS_close_range, first, last, 0U) == 0)
        return;
    // Older kernels: one by one, bounded by the descriptor limit.
    struct rlimit lim {};
    unsigned max = 65536;
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY &&
        lim.rlim_cur < max)
        max = static_cast<unsigned>(lim.rlim_cur);
    if (last >= max)
        last = max == 0 ? 0 : max - 1;
    for (unsigned fd = first; fd <= last && fd < max; ++fd)
        ::close(static_cast<int>(fd));
}

}  // namespace

void fast_closefds(const int* keep, int count) {
    const int saved = errno;
    // Sort the kept descriptors (insertion sort into a fixed array: no
    // allocation after fork).
    int kept[MAX_KEPT];
    int n = 0;
    for (int i = 0; i < count && n < MAX_KEPT; ++i) {
        const int fd = keep[i];
        if (fd <= 2)
            continue;
        int j = n;
        while (j > 0 && kept[j - 1] > fd) {
            kept[j] = kept[j - 1];
            --j;
        }
        kept[j] = fd;
        ++n;
    }
    // A repeated entry closes nothing more: the gap before it is empty.
    unsigned next = 3;
    for (int i = 0; i < n; ++i) {
        const unsigned fd = static_cast<unsigned>(kept[i]);
        if (fd > next)
            close_from_to(next, fd - 1);
        next = fd + 1;
    }
    close_from_to(next, ~0U);
    errno = saved;
}

void fast_closefds(std::initializer_list<int> keep) {
    fast_closefds(keep.begin(), static_cast<int>(keep.size()));
}

}  // namespace Tavrel::Run::CloseFDs
