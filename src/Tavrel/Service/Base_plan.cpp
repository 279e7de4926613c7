// Tavrel::Service::Base: what a dry run's start and stop say instead of
// acting. Everything before this point (the status look, the enabled and role
// checks, the configuration test) is the real run's own code.
#include "Tavrel/Service/Base.h"

#include "Tavrel/Process/Kill/AppPort.h"
#include "Tavrel/Server/Monitor/Suspension.h"
#include "Tavrel/Service/Plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>

namespace Tavrel::Service {

namespace {

std::string joined(const std::vector<std::string>& items, const std::string& between) {
    std::string text;
    for (const auto& item : items)
        text += (text.empty() ? "" : between) + item;
    return text;
}

std::string clock_time(time_t when) {
    struct tm local {};
    ::localtime_r(&when, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

}  // namespace

bool Base::_plan_start() {
    nlohmann::ordered_json facts{{"through", controlled_daemon()}};
    std::string says = "It would start “" + service() + "” through " + Plan::init_system_of(*this) + ".";
    const std::string pid_path = pidfile();
    struct stat st {};
    if (!pid_path.empty() && ::stat(pid_path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !is_up_via_pidfile()) {
        says += " It would first remove its stale pid file " + pid_path + ".";
        facts["stale_pidfile"] = pid_path;
    }
    Plan::step(*this, "start", says, facts);

    const std::vector<int> list = ports();
    if (list.empty())
        return true;
    std::vector<std::string> numbers;
    for (int port : list)
        numbers.push_back(std::to_string(port));
    const auto in_the_way = Plan::processes(Process::Kill::AppPort::would_end(list, {}, _port_side()));
    const std::string on = "port " + joined(numbers, ", ");
    Plan::step(*this, "ports",
               in_the_way.empty()
                   ? "Nothing that it would end holds its " + on + "."
                   : "Should its first start fail on its " + on + ", it would end what holds it: " +
                         Plan::describe(in_the_way) + ".",
               {{"ports", list}, {"would_end", in_the_way}});
    return true;
}

bool Base::_plan_stop() {
    namespace Suspension = Server::Monitor::Suspension;
    const long asked = suspend_time();
    const long delay = std::min(asked > 0 ? asked : Suspension::DEFAULT_SUSPENSION_DELAY,
                                Suspension::MAX_SUSPENSION_DELAY);
    const time_t until = std::time(nullptr) + delay;
    const std::string file = Suspension::SERVICE_SUSPEND_DIR + "/" + service_to_suspend();
    Plan::step(*this, "suspend",
               "It would keep the service monitor from starting “" + service() + "” for " +
                   std::to_string(delay) + " s, until " + clock_time(until) + " (" + file + ").",
               {{"file", file}, {"until", static_cast<long long>(until)}});

    std::vector<pid_t> pids;
    const std::vector<std::string> running = _what_still_runs(&pids);
    const auto processes = Plan::processes(pids);
    const std::string what = processes.empty() ? joined(running, "; ") : Plan::describe(processes);
    Plan::step(*this, "stop",
               "It would stop “" + service() + "” through " + Plan::init_system_of(*this) +
                   (what.empty() ? "." : ", which would end " + what + "."),
               {{"through", controlled_daemon()}, {"processes", processes}});
    return true;
}

}  // namespace Tavrel::Service
