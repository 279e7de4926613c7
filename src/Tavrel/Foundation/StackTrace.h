// Tavrel::Foundation::StackTrace: the call stack as raw frames, symbolised only when read,
// so that creating an error stays cheap when nobody looks at its trace.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace Tavrel::Foundation::StackTrace {

using Frames = std::shared_ptr<const std::vector<void*>>;

// Frames of the caller, skipping `skip` innermost frames besides this one.
Frames capture(int skip = 0);
// One line per frame: "\tat <symbol>".
std::string to_text(const Frames& frames);
std::string capture_text(int skip = 0);

}  // namespace Tavrel::Foundation::StackTrace
