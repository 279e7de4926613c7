#include "Tavrel/Cli/History/Caller.h"

#include "testsupport/FakeProc.h"
#include "testsupport/InChild.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace Tavrel::Cli::History::Caller {
namespace {

using namespace std::string_literals;

TEST(HistoryCaller, TheClientIsTheFirstAddressOfTheSession) {
    EXPECT_EQ(ssh_client_in("HOME=/root\0SSH_CONNECTION=192.0.2.7 50022 198.51.100.1 22\0"s), "192.0.2.7");
    EXPECT_EQ(ssh_client_in("SSH_CLIENT=2001:db8::7 50022 22\0"s), "2001:db8::7");
    EXPECT_EQ(ssh_client_in("SSH_CLIENT=192.0.2.9 1 22\0SSH_CONNECTION=192.0.2.7 2 198.51.100.1 22"s), "192.0.2.7");
    EXPECT_FALSE(ssh_client_in("XSSH_CONNECTION=192.0.2.7 1 2 3\0SSH_CONNECTION=\0"s));
    EXPECT_FALSE(ssh_client_in(""));
}

TEST(HistoryCaller, ALoginUidIsANumberBelowTheUnsetOne) {
    EXPECT_EQ(login_uid_in("1000"), 1000u);
    EXPECT_EQ(login_uid_in("0\n"), 0u);
    EXPECT_FALSE(login_uid_in("4294967295"));
    EXPECT_FALSE(login_uid_in(""));
    EXPECT_FALSE(login_uid_in("12ab"));
}

// Through the real /proc: the uid, the parent, and a session the parent was
// started in while the run's own environment lost it (as sudo drops it).
TEST(HistoryCaller, ThisRunIsSeenThroughTheRealProcessFileSystem) {
    const Who who = of_this_run();
    EXPECT_EQ(who.uid, ::getuid());
    EXPECT_EQ(who.parent_pid, ::getppid());
    EXPECT_FALSE(who.parent.empty());

    // sudo gave the run an environment without the session; the shell it
    // was called from has it.
    EXPECT_EQ(Tavrel::TestSupport::text_from_child([] {
                  ::unsetenv("SSH_CONNECTION");
                  ::unsetenv("SSH_CLIENT");
                  Tavrel::TestSupport::FakeProc proc(Tavrel::TestSupport::FakeProc::MIRROR);
                  proc.write(std::to_string(::getppid()) + "/environ",
                             "USER=alice\0SSH_CONNECTION=192.0.2.8 50022 198.51.100.1 22\0"s);
                  return of_this_run().ssh_client.value_or("none");
              }),
              "192.0.2.8");

    EXPECT_EQ(Tavrel::TestSupport::text_from_child([] {
                  ::setenv("SSH_CONNECTION", "192.0.2.44 50022 198.51.100.1 22", 1);
                  return of_this_run().ssh_client.value_or("none");
              }),
              "192.0.2.44");
}

}  // namespace
}  // namespace Tavrel::Cli::History::Caller
