// A process file system of a test's own. While the object lives,
// Tavrel::Foundation::ProcFs::PROC_PATH names its directory, so every reader of process
// files reads it; the setting is given back when it goes.
//
//   FakeProc proc;                              // empty: only what the test writes
//   proc.write("42/cgroup", "0::/system.slice/named.service\n");
//
//   FakeProc mirror(FakeProc::MIRROR);          // the real /proc, seen through links
//   mirror.write(pid + "/cgroup", "...");       // only this file differs
//
// A mirror is taken when it is made: processes started later are not in it.
// Writing below a mirrored directory turns that directory into one of links
// to the real entries; a link among them (a process's exe) gets the real
// link's target, so reading it answers as the real one does.
#pragma once

#include "testsupport/TempDir.h"

#include <string>

namespace Tavrel::TestSupport {

class FakeProc {
  public:
    enum Kind { EMPTY, MIRROR };

    explicit FakeProc(Kind kind = EMPTY);
    ~FakeProc();
    FakeProc(const FakeProc&) = delete;
    FakeProc& operator=(const FakeProc&) = delete;

    const std::string& path() const { return dir_.path(); }
    std::string operator/(const std::string& name) const { return dir_ / name; }
    // Writes `content` to path()/relpath and returns the full path.
    std::string write(const std::string& relpath, const std::string& content);

  private:
    // Makes the mirrored directory path()/relpath a real one of links.
    void unfold(const std::string& relpath);

    TempDir dir_;
    std::string saved_;
};

}  // namespace Tavrel::TestSupport
