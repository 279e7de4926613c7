// Runs a test body in a forked child, so that what it changes in the process
// (limits, environment, locks, priorities) stays there. The child never returns
// into the test framework: it leaves with _exit.
//
//   EXPECT_EQ(Tavrel::TestSupport::in_child([] { return setrlimit(...) == 0 ? 0 : 1; }), 0);
//   std::string seen = Tavrel::TestSupport::text_from_child([] { return getenv_text(); });
#pragma once

#include <functional>
#include <string>

namespace Tavrel::TestSupport {

// The child's exit code: body's result, 98 when it threw, -1 when it died by a
// signal, -2 when it could not be started or waited for.
int in_child(const std::function<int()>& body);

// The text body returned in the child ("exception: <what>" when it threw).
std::string text_from_child(const std::function<std::string()>& body);

}  // namespace Tavrel::TestSupport
