#include "Tavrel/Foundation/Poll.h"

#include <chrono>
#include <thread>

namespace Tavrel::Foundation::Poll {

bool until(const std::function<bool()>& done, Bounds bounds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(bounds.within));
    for (;;) {
        if (done())
            return true;
        if (Clock::now() >= deadline)
            return false;
        pause_for(bounds.every);
    }
}

void pause_for(double seconds) {
    if (seconds > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace Tavrel::Foundation::Poll
