#include "Tavrel/Process/ServiceCheck.h"

#include "Tavrel/Process/Kill.h"
#include "testsupport/TempDir.h"
#include "testsupport/TestChild.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

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

// A daemon whose pid file is gone is still found: by its program's name
// where the service is named otherwise, and under the title a retitling
// daemon gives itself when the title keeps its program's path; not the
// sessions it hands work to.
TEST(ServicesCheck, ADaemonIsFoundWithoutItsPidFile) {
    const std::string program = unique_name("svcprog");
    const std::string sleep_path = std::filesystem::canonical("/bin/sleep").string();
    const std::string user = ::geteuid() == 0 ? "root" : std::to_string(::geteuid());
    auto wait_for = [&](const Tavrel::Process::ServiceCheck::CheckOptions& o) {
        std::string status;
        for (int i = 0; i < 100 && status.empty(); ++i) {
            status = check_service(o);
            if (status.empty())
                ::usleep(5000);
        }
        return status;
    };

    auto named = spawn("/bin/bash", {program, "-c", "exec -a " + program + " /bin/sleep 30"});
    EXPECT_EQ(wait_for({.service = "svcword", .user = user, .other_name = program}).find(
                  "with PID " + std::to_string(named.pid())) == std::string::npos,
              false);
    EXPECT_EQ(check_service({.service = "svcword", .user = user}), "");
    named.stop();

    // The program under its own name, as a retitling daemon's process is
    // known to the kernel.
    Tavrel::TestSupport::TempDir dir;
    const std::string path = dir / program;
    std::filesystem::copy_file(sleep_path, path);
    const std::string listener = program + ": " + path + " 30 [listener]";
    auto titled = spawn("/bin/bash", {program, "-c", "exec -a '" + listener + "' " + path + " 30"});
    const Tavrel::Process::ServiceCheck::CheckOptions retitled{
        .service = program, .user = user, .skip_retitled = true, .binary = path,
        .pidfile = "/run/" + program + ".pid"};
    EXPECT_NE(wait_for(retitled).find("with PID " + std::to_string(titled.pid())), std::string::npos);
    titled.stop();

    auto session = spawn("/bin/bash", {program, "-c", "exec -a '" + program + ": root@pts/0' " + path + " 30"});
    ::usleep(100000);
    EXPECT_EQ(check_service(retitled), "");
    session.stop();
}

}  // namespace
