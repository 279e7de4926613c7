#include "Tavrel/Process/Proc/Cgroup.h"

#include "Tavrel/Foundation/LoadFile.h"
#include "testsupport/FakeProc.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace {

using namespace Tavrel::Process::Proc::Cgroup;

// /proc/<pid>/cgroup as the kernel prints it on the hierarchies systemd uses.
TEST(Cgroup, TheInnermostServiceOfTheHierarchySystemdUses) {
    // Unified hierarchy (Debian 12, Ubuntu 22.04).
    EXPECT_EQ(Tavrel::Process::Proc::Cgroup::service_unit("0::/system.slice/systemd-resolved.service\n"), "systemd-resolved.service");
    // A unit with delegated sub-groups, and a template instance.
    EXPECT_EQ(Tavrel::Process::Proc::Cgroup::service_unit("0::/system.slice/docker.service/payload\n"), "docker.service");
    EXPECT_EQ(Tavrel::Process::Proc::Cgroup::service_unit("0::/system.slice/system-postgresql.slice/postgresql@15-main.service\n"),
              "postgresql@15-main.service");
    // A user's own unit under the user's manager: another unit all the same.
    EXPECT_EQ(Tavrel::Process::Proc::Cgroup::service_unit("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                           "dbus.service\n"),
              "dbus.service");
    // Legacy and hybrid hierarchies: systemd's named line decides, the
    // controllers' lines do not.
    EXPECT_EQ(Tavrel::Process::Proc::Cgroup::service_unit("12:pids:/system.slice/cron.service\n"
                           "4:memory:/system.slice/other.service\n"
                           "1:name=systemd:/system.slice/cron.service\n"
                           "0::/\n"),
              "cron.service");
    EXPECT_EQ(Tavrel::Process::Proc::Cgroup::service_unit("1:name=systemd:/system.slice/ssh.service\n"
                           "0::/system.slice/ssh.service\n"),
              "ssh.service");
}

TEST(Cgroup, NoServiceUnitIsNone) {
    // A login session, the root group of a host without systemd (this
    // machine's own sample), a container's scope, nothing readable.
    EXPECT_EQ(Tavrel::Process::Proc::Cgroup::service_unit("0::/user.slice/user-0.slice/session-3.scope\n"), "");
    EXPECT_EQ(Tavrel::Process::Proc::Cgroup::service_unit("9:name=systemd:/\n8:pids:/\n4:memory:/process_api/08c490f0\n0::/\n"), "");
    EXPECT_EQ(Tavrel::Process::Proc::Cgroup::service_unit("0::/system.slice/docker-4f1e.scope\n"), "");
    EXPECT_EQ(Tavrel::Process::Proc::Cgroup::service_unit(""), "");
    EXPECT_EQ(Tavrel::Process::Proc::Cgroup::service_unit("garbage\n0:/system.slice/x.service\n"), "");
    // ".service" alone, or inside a name, is no unit.
    EXPECT_EQ(Tavrel::Process::Proc::Cgroup::service_unit("0::/system.slice/.service\n"), "");
    EXPECT_EQ(Tavrel::Process::Proc::Cgroup::service_unit("0::/system.slice/a.service.d/x\n"), "");
}

TEST(Cgroup, AnotherUnitIsNeitherTheServicesNorThisRuns) {
    Tavrel::TestSupport::FakeProc tmp;
    tmp.write(std::to_string(::getpid()) + "/cgroup", "0::/system.slice/svcwatch.service\n");
    tmp.write("101/cgroup", "0::/system.slice/systemd-resolved.service\n");
    tmp.write("102/cgroup", "0::/system.slice/named.service\n");
    tmp.write("103/cgroup", "0::/system.slice/svcwatch.service\n");
    tmp.write("104/cgroup", "0::/user.slice/user-1000.slice/session-2.scope\n");
    EXPECT_EQ(Tavrel::Process::Proc::Cgroup::service_unit_of(101), "systemd-resolved.service");
    EXPECT_TRUE(Tavrel::Process::Proc::Cgroup::belongs_to_another_unit(101, "named.service"));
    EXPECT_FALSE(Tavrel::Process::Proc::Cgroup::belongs_to_another_unit(102, "named.service"));
    EXPECT_TRUE(Tavrel::Process::Proc::Cgroup::belongs_to_another_unit(102, ""));
    // What this run launched shares its unit.
    EXPECT_FALSE(Tavrel::Process::Proc::Cgroup::belongs_to_another_unit(103, "named.service"));
    EXPECT_FALSE(Tavrel::Process::Proc::Cgroup::belongs_to_another_unit(104, "named.service"));
    // Gone meanwhile.
    EXPECT_FALSE(Tavrel::Process::Proc::Cgroup::belongs_to_another_unit(105, "named.service"));
}

}  // namespace

// A unit's processes are those of its group and of every group below it; a
// path that is not a unit's group's names none.
TEST(Cgroup, TheProcessesOfAGroupAndItsSubgroups) {
    Tavrel::TestSupport::TempDir tree;
    const auto saved = CONTROL_GROUP_TREES;
    CONTROL_GROUP_TREES = {tree.path() + "/named", tree.path() + "/unified"};
    std::filesystem::create_directories(tree / "unified/system.slice/x.service/payload");
    tree.write("unified/system.slice/x.service/cgroup.procs", "12\n13\n");
    tree.write("unified/system.slice/x.service/payload/cgroup.procs", "14\n");
    tree.write("unified/cgroup.procs", "1\n");
    EXPECT_EQ(processes_in("/system.slice/x.service"), (std::vector<pid_t>{12, 13, 14}));
    EXPECT_TRUE(processes_in("").empty());
    EXPECT_TRUE(processes_in("system.slice/x.service").empty());
    EXPECT_TRUE(processes_in("/system.slice/x.service/../..").empty());
    EXPECT_TRUE(processes_in("/system.slice/y.service").empty());
    // systemd's own hierarchy, where there is one, is read first.
    std::filesystem::create_directories(tree / "named/system.slice/x.service");
    tree.write("named/system.slice/x.service/cgroup.procs", "21\n");
    EXPECT_EQ(processes_in("/system.slice/x.service"), (std::vector<pid_t>{21}));
    CONTROL_GROUP_TREES = saved;

    // Through the real control-group file system: this process is in its own group.
    const std::string own = Tavrel::Foundation::LoadFile::loadfile("/proc/self/cgroup").value_or("");
    std::string path;
    for (std::istringstream lines(own); std::getline(lines, path);)
        if (path.starts_with("0::") || path.find(":name=systemd:") != std::string::npos)
            break;
    path = path.substr(path.rfind(':') + 1);
    const auto pids = processes_in(path);
    EXPECT_NE(std::find(pids.begin(), pids.end(), ::getpid()), pids.end()) << path;
}
