// Tavrel::Foundation::Poll: the one way this program waits for something to
// come true: look, and while it has not and the deadline has not passed,
// pause a moment and look again. Every wait is bounded.
//
//   bool gone = Poll::until([&] { return !process.alive(); }, {.within = 5, .every = 0.05});
//   Poll::pause_for(0.2);
#pragma once

#include <functional>

namespace Tavrel::Foundation::Poll {

struct Bounds {
    double within = 0;    // seconds from the call; the last look is at or after it
    double every = 0.05;  // seconds between looks
};

// True as soon as a look says so; false when the deadline passed first. The
// first look is at once, so a wait of 0 seconds is one look.
bool until(const std::function<bool()>& done, Bounds bounds);

// Sleeps `seconds` (nothing for 0 or less).
void pause_for(double seconds);

}  // namespace Tavrel::Foundation::Poll
