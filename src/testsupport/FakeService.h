// Tavrel::TestSupport::FakeService: a service object for backend tests
// (header only; not part of the library). Each test sets what the backend
// reads; the messages the backend writes are kept for the test to look at.
//
//   FakeService svc;
//   svc.pid_file = "/run/x.pid";
//   backend.stop(svc);
//   EXPECT_TRUE(FakeService::any_has(svc.infos, "Nothing could be confirmed"));
#pragma once

#include "Tavrel/Init/Service.h"

#include <optional>
#include <string>
#include <vector>

namespace Tavrel::TestSupport {

class FakeService : public Tavrel::Init::Service {
  public:
    std::string name = "tvtest";
    bool tavrel = false;
    std::string binary;
    std::optional<std::vector<std::string>> start_args, restart_args_, stop_args;
    std::string pid_file, exe_pattern, owner;
    std::vector<std::string> rules;
    int verbosity = 0;
    double timeout = 90;
    bool ports_killed = false;
    std::vector<std::string> debugs, infos, warns;

    std::string service() override { return name; }
    std::string service_name() override { return name; }
    bool is_tavrel_service() override { return tavrel; }
    std::string service_binary() override { return binary; }
    std::optional<std::vector<std::string>> startup_args() override { return start_args; }
    std::optional<std::vector<std::string>> restart_args() override { return restart_args_; }
    std::optional<std::vector<std::string>> shutdown_args() override { return stop_args; }
    std::string pidfile() override { return pid_file; }
    std::string pid_exe() override { return exe_pattern; }
    std::vector<std::string> doomed_rules() override { return rules; }
    std::string processowner() override { return owner; }
    std::string command_line_regex() override { return {}; }
    double command_timeout() override { return timeout; }
    int verbose() override { return verbosity; }
    bool has_single_pid() override { return true; }
    bool end_own_listeners() override { return ports_killed; }
    void debug(const std::string& m) override { debugs.push_back(m); }
    void info(const std::string& m) override { infos.push_back(m); }
    void warn(const std::string& m) override { warns.push_back(m); }

    static bool any_has(const std::vector<std::string>& lines, const std::string& part) {
        for (const auto& l : lines)
            if (l.find(part) != std::string::npos)
                return true;
        return false;
    }
};

}  // namespace Tavrel::TestSupport
