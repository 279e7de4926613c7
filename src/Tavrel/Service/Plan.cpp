#include "Tavrel/Service/Plan.h"

#include "Tavrel/Config/PwCache.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Output/Formatted.h"
#include "Tavrel/Process/Proc/PID.h"
#include "Tavrel/Service/Base.h"

namespace Tavrel::Service::Plan {

void step(Base& srv, std::string_view name, const std::string& says, nlohmann::ordered_json facts) {
    Output::Base& out = srv.output_obj();
    // A person reads the sentence; a program the record, with its facts.
    if (dynamic_cast<Output::Formatted*>(&out)) {
        out.info(says);
        return;
    }
    out.message(RECORD_TYPE,
                Output::Contents(nlohmann::ordered_json{{"step", name}, {"says", says}, {"facts", std::move(facts)}}));
}

std::string init_system_of(Base& srv) {
    const std::string daemon = srv.controlled_daemon();
    const auto space = daemon.find(' ');
    const std::string kind = daemon.substr(0, space);
    const std::string what = space == std::string::npos ? std::string() : daemon.substr(space + 1);
    if (kind == "unit")
        return "systemd (unit " + what + ")";
    if (kind == "script")
        return "its init script " + what;
    if (kind == "program")
        return "its program " + what.substr(0, what.find(' '));
    return "its service core";
}

nlohmann::ordered_json processes(const std::vector<pid_t>& pids) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (pid_t pid : pids) {
        try {
            Process::Proc::PID process(pid);
            const uid_t uid = process.uid();
            const std::string dir = Foundation::ProcFs::PROC_PATH + "/" + std::to_string(pid);
            std::string program = Foundation::ProcFs::executable(dir);
            if (program.empty()) {
                const auto words = process.cmdline();
                program = words.empty() ? std::string("?") : words.front();
            }
            const std::string owner = Config::PwCache::getpwuid_name(uid).value_or(std::to_string(uid));
            list.push_back({{"pid", static_cast<long>(pid)}, {"program", program}, {"owner", owner}});
        } catch (const std::exception&) {
            // Gone since it was seen: nothing to signal.
        }
    }
    return list;
}

std::string describe(const nlohmann::ordered_json& processes) {
    std::string text;
    for (const auto& p : processes)
        text += (text.empty() ? "" : ", ") + std::string("pid ") + std::to_string(p["pid"].get<long>()) + " (" +
                p["program"].get<std::string>() + ", " + p["owner"].get<std::string>() + ")";
    return text.empty() ? "none" : text;
}

}  // namespace Tavrel::Service::Plan
