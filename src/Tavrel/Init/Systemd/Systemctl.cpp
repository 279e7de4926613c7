#include "Tavrel/Init/Systemd/Systemctl.h"

#include "Tavrel/Foundation/ErrnoGuard.h"
#include "Tavrel/Config/OS.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Run/SafeRun/Object.h"
#include "Tavrel/Foundation/Text/Digits.h"
#include "Tavrel/Process/PidFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <sstream>

namespace Tavrel::Init::Systemd::Systemctl {

namespace {

struct Answer {
    int status = -1;  // raw wait status; -1 when systemctl could not be run
    std::string out;
};

// One systemctl run in the neutral locale and zone; standard error is
// dropped. A systemctl that cannot be run is an answer like any failure.
Answer query(std::vector<std::string> args, double timeout = QUERY_TIMEOUT) {
    Foundation::ErrnoGuard keep_errno;
    try {
        Run::SafeRun::Object run({.program = SYSTEMCTL,
                             .args = std::move(args),
                             .timeout = timeout,
                             .set_env = {"LANG=" + QUERY_LANG, "TZ=" + QUERY_TZ}});
        return {run.CHILD_ERROR(), run.stdout_text()};
    } catch (const std::exception&) {
        return {};
    }
}

void require_systemd(std::string_view function) {
    if (!Config::OS::is_systemd())
        throw Foundation::PlainError(std::string(function) +
                         " needs systemd, but this system is not running systemd.");
}

std::string get(const UnitProperties& props, const std::string& key) {
    auto it = props.find(key);
    return it == props.end() ? std::string() : it->second;
}

bool is_loaded(const UnitProperties& props) {
    return get(props, "LoadState") == LOADED;
}

// Calls `each` with every line of `text` (without its newline) until it
// returns false.
template <typename F>
void for_each_line(std::string_view text, F each) {
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        if (!each(line))
            return;
        if (nl == std::string_view::npos)
            return;
        text.remove_prefix(nl + 1);
    }
}

bool blank(std::string_view line) {
    return line.find_first_not_of(" \t\r\f\v") == std::string_view::npos;
}

// The status listing both pid and exit queries read: no journal lines.
Answer status_listing(std::string_view unit) {
    return query({"status", "--lines=0", "--", unit_name(unit)});
}

std::vector<std::string> show_arguments(const std::vector<std::string>& keys) {
    std::vector<std::string> args{"show"};
    for (const auto& key : keys) {
        args.push_back("-p");
        args.push_back(key);
    }
    args.push_back("--");
    return args;
}

// What the living Batch took, by unit name ("cron.service"); empty when
// there is none or it could not be taken.
std::map<std::string, UnitProperties> batched;

// The batched answer to a question of these keys about this unit.
std::optional<UnitProperties> answer_from_batch(const std::string& unit,
                                                const std::vector<std::string>& keys) {
    const auto found = batched.find(unit);
    if (found == batched.end())
        return std::nullopt;
    UnitProperties answer;
    for (const auto& key : keys) {
        if (std::find(needs_systemd_show_keys.begin(), needs_systemd_show_keys.end(), key) ==
            needs_systemd_show_keys.end())
            return std::nullopt;
        // A key the run would not have printed stays out here too.
        if (const auto value = found->second.find(key); value != found->second.end())
            answer.emplace(key, value->second);
    }
    return answer;
}

// The service units systemd holds in memory, loaded or not: a running unit
// whose file was since removed is among them. Nothing when systemd could not
// be asked.
std::optional<std::set<std::string>> units_held() {
    const Answer answer =
        query({"list-units", "--all", "--plain", "--no-legend", "--full", "--type=service"});
    if (answer.status != 0)
        return std::nullopt;
    const std::vector<std::string> listed = parse_unit_list(answer.out);
    return std::set<std::string>(listed.begin(), listed.end());
}

// Whether an entry in the unit search path could make systemd load the unit:
// its own file or link, its drop-in directory, or its template's file.
bool may_have_unit_file(const std::string& unit) {
    std::vector<std::string> entries{unit, unit + ".d"};
    if (const std::size_t at = unit.find('@'); at != std::string::npos)
        entries.push_back(unit.substr(0, at + 1) + std::string(SERVICE_SUFFIX));
    for (const auto& dir : UNIT_SEARCH_DIRS) {
        for (const auto& entry : entries) {
            struct stat st {};
            if (::lstat((dir + entry).c_str(), &st) == 0)
                return true;
        }
    }
    return false;
}

// What systemctl show prints for a unit systemd has no file for, less the
// time-outs, which are the manager's defaults and no property of the unit.
UnitProperties not_found_unit(const std::string& unit) {
    return {{"Id", unit},         {"Type", ""},          {"LoadState", std::string(NOT_FOUND)},
            {"ActiveState", "inactive"}, {"SubState", "dead"}, {"MainPID", "0"},
            {"PIDFile", ""},      {"FragmentPath", ""},  {"UnitFileState", ""},
            {"Result", "success"}, {"ExecMainCode", "0"}, {"ExecMainStatus", "0"}};
}

}  // namespace

Batch::Batch(const std::vector<std::string>& units) {
    batched.clear();
    if (!Config::OS::is_systemd() || units.empty())
        return;
    std::vector<std::string> names;
    for (const auto& unit : units) {
        std::string name = unit_name(unit);
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(std::move(name));
    }
    const auto held = units_held();
    if (!held)
        return;
    std::vector<std::string> asked;
    for (const auto& name : names)
        if (held->count(name) || may_have_unit_file(name))
            asked.push_back(name);
    std::map<std::string, UnitProperties> answers;
    if (!asked.empty()) {
        std::vector<std::string> args = show_arguments(needs_systemd_show_keys);
        args.insert(args.end(), asked.begin(), asked.end());
        const Answer answer = query(std::move(args));
        if (answer.status != 0)
            return;
        const std::vector<UnitProperties> blocks = parse_show_blocks(answer.out);
        // Matched by position: an alias's block carries the Id of the unit it
        // stands for, not the name asked.
        if (blocks.size() != asked.size())
            return;
        for (std::size_t i = 0; i < asked.size(); ++i)
            answers.emplace(asked[i], blocks[i]);
    }
    for (const auto& name : names)
        answers.emplace(name, not_found_unit(name));
    batched = std::move(answers);
}

Batch::~Batch() { batched.clear(); }

std::string unit_id_from_files(std::string_view name) {
    const std::string unit = unit_name(name);
    for (const auto& dir : UNIT_FILE_DIRS) {
        std::error_code ec;
        const auto target = std::filesystem::canonical(dir + unit, ec);
        if (ec)
            continue;
        const std::string id = target.filename().string();
        return id.ends_with(SERVICE_SUFFIX) && id.size() > SERVICE_SUFFIX.size() ? id : std::string();
    }
    return {};
}

std::string unit_name(std::string_view name) {
    if (name.size() > SERVICE_SUFFIX.size() && name.ends_with(SERVICE_SUFFIX))
        return std::string(name);
    return std::string(name) + std::string(SERVICE_SUFFIX);
}

UnitProperties parse_show(std::string_view text) {
    UnitProperties props;
    for_each_line(text, [&](std::string_view line) {
        const std::size_t eq = line.find('=');
        const std::string_view key = line.substr(0, eq);
        const bool name_chars =
            !key.empty() && key.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                  "abcdefghijklmnopqrstuvwxyz0123456789_") ==
                                std::string_view::npos;
        if (name_chars) {
            props[std::string(key)] =
                eq == std::string_view::npos ? std::string() : std::string(line.substr(eq + 1));
        }
        return true;
    });
    return props;
}

std::vector<UnitProperties> parse_show_blocks(std::string_view text) {
    std::vector<UnitProperties> blocks;
    std::string block;
    auto close_block = [&] {
        blocks.push_back(parse_show(block));
        block.clear();
    };
    for_each_line(text, [&](std::string_view line) {
        if (blank(line))
            close_block();
        else
            block.append(line).push_back('\n');
        return true;
    });
    if (!block.empty())
        close_block();
    return blocks;
}

std::vector<std::string> parse_unit_list(std::string_view text) {
    std::vector<std::string> names;
    for_each_line(text, [&](std::string_view line) {
        std::istringstream words{std::string(line)};
        std::string word;
        // A state mark ("●", "*") stands before the name of a unit in trouble.
        if (words >> word && word.find('.') == std::string::npos)
            words >> word;
        if (word.find('.') != std::string::npos)
            names.push_back(word);
        return true;
    });
    return names;
}

bool is_usable_unit(const UnitProperties& props) {
    if (auto it = props.find("LoadState"); it != props.end() && it->second == NOT_FOUND)
        return false;
    const std::string fragment = get(props, "FragmentPath");
    if (fragment.empty() || fragment == NULL_DEVICE)
        return true;
    for (const auto& dir : UNIT_FILE_DIRS) {
        if (fragment.size() > dir.size() && fragment.starts_with(dir))
            return true;
    }
    return false;
}

std::optional<pid_t> parse_pid(std::string_view text) {
    if (!Foundation::Text::all_digits(text) || text.size() > 9)
        return std::nullopt;
    const pid_t pid = static_cast<pid_t>(std::stol(std::string(text)));
    return pid > 1 ? std::optional<pid_t>(pid) : std::nullopt;
}

std::vector<pid_t> parse_cgroup_pids(std::string_view status_text) {
    // Unindented Loaded/Active lines would say the unit is not there; the
    // lines systemctl prints are indented, so in practice only the CGroup
    // section decides.
    static const Foundation::Regex cgroup_re(R"(^\s*CGroup:)");
    static const Foundation::Regex loaded_re(R"(^Loaded: (\w+))");
    static const Foundation::Regex active_re(R"(^Active: (\w+))");
    static const Foundation::Regex pid_re(R"(([0-9]+)\s+)");
    std::vector<pid_t> pids;
    bool in_group = false;
    for_each_line(status_text, [&](std::string_view line) {
        if (blank(line))
            return false;
        if (!in_group) {
            if (cgroup_re.test(line)) {
                in_group = true;
            } else if (auto m = loaded_re.match(line); m && (*m)[1] != LOADED) {
                pids.clear();
                return false;
            } else if (auto a = active_re.match(line); a && (*a)[1] != ACTIVE) {
                pids.clear();
                return false;
            }
            return true;
        }
        auto m = pid_re.match(line);
        if (!m)
            return false;
        if (auto pid = parse_pid((*m)[1]))
            pids.push_back(*pid);
        return true;
    });
    return pids;
}

CodeAndSignal parse_code_and_signal(std::string_view status_text) {
    static const Foundation::Regex active_re(R"(^[ \t]*Active:[ \t]*(\S+))");
    static const Foundation::Regex main_pid_re(R"(^[ \t]*Main PID:[ \t]*[0-9]+[ \t]*([^\)]+))");
    // The words end at a comma, a blank or the closing parenthesis: "(code=killed,
    // signal=TERM)" names the signal TERM.
    static const Foundation::Regex code_re(R"(code=([^,) ]+))");
    static const Foundation::Regex signal_re(R"(signal=([^,) ]+))");
    auto capture = [](const Foundation::Regex& re, std::string_view line) -> std::optional<std::string> {
        if (auto m = re.match(line))
            return std::string((*m)[1]);
        return std::nullopt;
    };
    CodeAndSignal result;
    for_each_line(status_text, [&](std::string_view line) {
        if (blank(line))
            return false;
        if (auto state = capture(active_re, line)) {
            std::get<0>(result) = state;
        } else if (main_pid_re.test(line)) {
            // "(code=killed, signal=TERM)" or "(code=exited, status=0/SUCCESS)"
            std::get<1>(result) = capture(code_re, line);
            std::get<2>(result) = capture(signal_re, line);
        }
        return true;
    });
    return result;
}

int _run_systemctl(const std::vector<std::string>& args) {
    return query(args, CALL_BOUND_MAX).status;
}

std::optional<double> parse_timespan(std::string_view text) {
    static const Foundation::Regex part_re(R"(^([0-9]+(?:\.[0-9]+)?)(y|month|w|d|h|min|s|ms|us)?$)");
    static const std::vector<std::pair<std::string_view, double>> units = {
        {"y", 31557600}, {"month", 2629800}, {"w", 604800}, {"d", 86400}, {"h", 3600},
        {"min", 60},     {"s", 1},           {"ms", 1e-3},  {"us", 1e-6}, {"", 1e-6}};
    if (text == "infinity")
        return std::numeric_limits<double>::infinity();
    double seconds = 0;
    bool any = false;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        const std::string_view part = text.substr(at, end - at);
        at = end + 1;
        if (part.empty())
            continue;
        const auto m = part_re.match(part);
        if (!m)
            return std::nullopt;
        for (const auto& [unit, size] : units) {
            if ((*m)[2] == unit) {
                seconds += std::stod(std::string((*m)[1])) * size;
                break;
            }
        }
        any = true;
    }
    if (!any)
        return std::nullopt;
    return seconds > 0 ? seconds : std::numeric_limits<double>::infinity();
}

double call_bound(const UnitProperties& props, const std::vector<std::string>& timeout_keys) {
    double total = CALL_MARGIN;
    for (const auto& key : timeout_keys) {
        const auto seconds = parse_timespan(get(props, key));
        if (!seconds || !std::isfinite(*seconds))
            return CALL_BOUND_MAX;
        total += *seconds;
    }
    return std::min(total, CALL_BOUND_MAX);
}

bool is_at_rest(std::string_view state) {
    return state == INACTIVE || state == FAILED;
}

UnitProperties get_properties_via_systemd(std::string_view unit,
                                          const std::vector<std::string>& keys) {
    std::string name = unit_name(unit);
    if (auto answer = answer_from_batch(name, keys))
        return *answer;
    std::vector<std::string> args = show_arguments(keys);
    args.push_back(std::move(name));
    return parse_show(query(std::move(args)).out);
}

UnitProperties get_service_info_via_systemd(std::string_view unit) {
    return get_properties_via_systemd(unit, needs_systemd_show_keys);
}

std::optional<UnitProperties> has_service_via_systemd(std::string_view unit) {
    if (!Config::OS::is_systemd() || unit.empty())
        return std::nullopt;
    UnitProperties props = get_service_info_via_systemd(unit);
    // No answer at all, for an account other than root: its systemctl
    // reaches systemd only over the system bus, which a server need not run
    // ("Failed to connect to bus"). Taken as a unit, the service would read
    // as down while it runs; its processes answer instead. Such an account
    // only ever asks, so nothing is started outside systemd for it.
    if (props.empty() && ::geteuid() != 0)
        return std::nullopt;
    if (!is_usable_unit(props))
        return std::nullopt;
    return props;
}

std::optional<pid_t> get_pid_via_systemd(std::string_view unit,
                                         const std::optional<UnitProperties>& given) {
    require_systemd("get_pid_via_systemd");
    // The cheap question first: most units know their main process.
    if (auto pid = parse_pid(get(get_properties_via_systemd(unit, {"MainPID"}), "MainPID")))
        return pid;

    const UnitProperties props = given ? *given : get_service_info_via_systemd(unit);
    if (is_loaded(props) && get(props, "ActiveState") == ACTIVE) {
        if (auto pid = parse_pid(get(props, "MainPID")))
            return pid;
        // An active unit without a main process (a forking daemon whose pid
        // systemd could not tell): its first control-group process. Reading
        // only that section keeps digits of the unit's own name or
        // description from passing for a pid.
        if (get(props, "SubState") == RUNNING) {
            auto pids = parse_cgroup_pids(status_listing(unit).out);
            if (!pids.empty())
                return pids.front();
        }
    }
    if (const std::string pidfile = get(props, "PIDFile"); !pidfile.empty())
        return Process::PidFile::is_pidfile_running(pidfile);
    return std::nullopt;
}

std::vector<pid_t> get_pids_via_systemd(std::string_view unit) {
    return parse_cgroup_pids(status_listing(unit).out);
}

CodeAndSignal get_code_and_signal_via_systemd(std::string_view unit) {
    return parse_code_and_signal(status_listing(unit).out);
}

std::optional<std::string> get_status_via_systemd(std::string_view unit) {
    require_systemd("get_status_via_systemd");
    const UnitProperties props = get_service_info_via_systemd(unit);
    if (!is_loaded(props))
        return std::nullopt;
    return get(props, "ActiveState");
}

std::optional<std::string> stop_via_systemd(std::string_view base_name) {
    require_systemd("stop_via_systemd");
    const std::string unit = std::string(base_name) + std::string(SERVICE_SUFFIX);
    if (!is_loaded(get_service_info_via_systemd(unit)))
        return std::nullopt;
    (void)_run_systemctl({"stop", "--", unit});
    return get(get_service_info_via_systemd(unit), "ActiveState");
}

std::pair<std::optional<std::string>, std::optional<std::string>> restart_via_systemd(
    std::string_view base_name) {
    require_systemd("restart_via_systemd");
    const std::string unit = std::string(base_name) + std::string(SERVICE_SUFFIX);
    if (!is_loaded(get_service_info_via_systemd(unit)))
        return {std::nullopt, std::nullopt};
    // Any non-zero wait status is a failure, a systemctl killed by a signal too.
    const bool ok = _run_systemctl({"restart", "--", unit}) == 0;
    const UnitProperties after = get_service_info_via_systemd(unit);
    if (!ok)
        return {get(after, "ActiveState"), std::nullopt};
    return {get(after, "ActiveState"), get(after, "MainPID")};
}

}  // namespace Tavrel::Init::Systemd::Systemctl
