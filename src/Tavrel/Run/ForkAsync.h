// Tavrel::Run::ForkAsync: runs a function in a forked child and returns at once
// with the child's pid. The child never returns into the caller's code and
// never runs the parent's clean-up: it ends with _exit, 0 when the function
// returned. When the function throws, the error text goes to the child's
// standard error (not with the _quiet form) and the child exits with the
// errno current at the throw, or DEFAULT_ERROR_CODE when that is 0.
//
//   pid_t pid = Tavrel::Run::ForkAsync::do_in_child([&] { write_pid_file(path); });
//   ... the caller reaps pid ...
//
// Pending standard-stream output is flushed before the fork (so the child
// does not repeat it) and again in the child before it exits.
#pragma once

#include <sys/types.h>

#include <functional>

namespace Tavrel::Run::ForkAsync {

inline int DEFAULT_ERROR_CODE = 127;

// Throws Fork::Failed (with "error") when fork fails.
pid_t do_in_child(const std::function<void()>& function);
pid_t do_in_child_quiet(const std::function<void()>& function);

// The body of a forked child: runs `function` and ends the process.
[[noreturn]] void run_and_exit(const std::function<void()>& function, bool quiet);

}  // namespace Tavrel::Run::ForkAsync
