// Tavrel::Run::SafeRun::LastStatus: the process-wide "last child status", the wait
// status of the most recent child a caller asked about. The simple runners
// (Tavrel::Run::SafeRun::Simple, Tavrel::Run::ForkSync::do_in_child) leave their
// child's status here; other runs leave it unchanged.
//
//   auto out = Tavrel::Run::SafeRun::Simple::saferun({"/usr/bin/id", "-u"});
//   if (Tavrel::Run::SafeRun::last_child_status() != 0) ...;   // -1: could not start
#pragma once

namespace Tavrel::Run::SafeRun {

namespace detail {
inline int last_child_status_value = 0;
}

inline int last_child_status() {
    return detail::last_child_status_value;
}
inline void set_last_child_status(int status) {
    detail::last_child_status_value = status;
}

// Restores the last child status on scope exit.
class [[nodiscard]] LastStatusGuard final {
  public:
    LastStatusGuard() : saved_(last_child_status()) {}
    ~LastStatusGuard() { set_last_child_status(saved_); }
    LastStatusGuard(const LastStatusGuard&) = delete;
    LastStatusGuard& operator=(const LastStatusGuard&) = delete;

  private:
    int saved_;
};

}  // namespace Tavrel::Run::SafeRun
