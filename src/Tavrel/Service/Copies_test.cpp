#include "Tavrel/Service/Copies.h"

#include "Tavrel/Process/Kill/Target.h"
#include "testsupport/TestChild.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

namespace {

namespace Copies = Tavrel::Service::Copies;
namespace TestChild = Tavrel::TestSupport::TestChild;

std::string sleep_program() {
    return std::filesystem::exists("/bin/sleep") ? "/bin/sleep" : "/usr/bin/sleep";
}

std::vector<pid_t> pids_of(const std::vector<Copies::Copy>& copies) {
    std::vector<pid_t> pids;
    for (const auto& c : copies)
        pids.push_back(c.pid);
    return pids;
}

// A copy is the program, its exact arguments and its owner together: a
// process that shares only some of them belongs to something else.
TEST(Copies, AreTheProgramWithItsArgumentsAsItsOwner) {
    // Arguments no other process on the machine has.
    const std::string unique = "0.0" + std::to_string(::getpid());
    auto copy = TestChild::spawn(sleep_program(), {sleep_program(), "30", unique});
    auto by_base_name = TestChild::spawn(sleep_program(), {"sleep", "30", unique});
    auto other_args = TestChild::spawn(sleep_program(), {"sleep", "31", unique});
    auto retitled = TestChild::spawn(sleep_program(), {TestChild::unique_name("tvcopy"), "30", unique});

    const auto found = Copies::find(sleep_program(), {"30", unique}, ::geteuid());
    EXPECT_EQ(pids_of(found), (std::vector<pid_t>{std::min(copy.pid(), by_base_name.pid()),
                                                  std::max(copy.pid(), by_base_name.pid())}));
    EXPECT_NE(Copies::describe(found).find("PID " + std::to_string(copy.pid()) + " (" +
                                           sleep_program() + " 30 " + unique + ")"),
              std::string::npos);

    EXPECT_TRUE(Copies::find(sleep_program(), {"30", unique}, ::geteuid() + 1).empty());
    EXPECT_TRUE(Copies::find("/bin/true", {"30", unique}, std::nullopt).empty());
    EXPECT_TRUE(Copies::find("/no/such/program", {"30", unique}, std::nullopt).empty());

    EXPECT_TRUE(Copies::end(found, 1));
    EXPECT_FALSE(Tavrel::Process::Kill::Target::open(copy.pid()).alive());
    EXPECT_TRUE(Copies::find(sleep_program(), {"30", unique}, std::nullopt).empty());
    EXPECT_TRUE(Tavrel::Process::Kill::Target::open(other_args.pid()).alive());
    EXPECT_TRUE(Tavrel::Process::Kill::Target::open(retitled.pid()).alive());
}

}  // namespace
