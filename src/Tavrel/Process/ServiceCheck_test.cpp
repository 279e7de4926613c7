#include "Tavrel/Process/ServiceCheck.h"

#include "Tavrel/Process/Kill.h"
#include "testsupport/TestChild.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using namespace Tavrel::TestSupport::TestChild;
using Tavrel::Process::ServiceCheck::check_service;

TEST(ServicesCheck, NamesTheMainProcessOfTheService) {
    std::string name = unique_name("svcmain");
    // A parent and its worker, both carrying the service's name.
    auto parent = spawn("/bin/bash", {name, "-c", "exec -a " + name + " /bin/sleep 30 & wait"});
    std::string status;
    for (int i = 0; i < 200 && status.empty(); ++i) {
        status = check_service({.service = name});
        if (status.empty())
            ::usleep(5000);
    }
    std::string user = ::geteuid() == 0 ? "root" : std::to_string(::geteuid());
    EXPECT_EQ(status, name + " (" + name + " -c exec -a " + name +
                          " /bin/sleep 30 & wait) is running as " + user + " with PID " +
                          std::to_string(parent.pid()) + " (process table check)");
    parent.stop();
    Tavrel::Process::Kill::safekill(std::vector<std::string>{name}, false, 1);  // the orphaned worker
}

TEST(ServicesCheck, NothingRunningGivesEmptyText) {
    EXPECT_EQ(check_service({.service = unique_name("svcnone")}), "");
    EXPECT_EQ(check_service({}), "");
    EXPECT_EQ(check_service({.service = "x", .command_line_regex = unique_name("svcnone")}), "");
}

}  // namespace
