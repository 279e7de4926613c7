#include "Tavrel/Process/Rlimit.h"

#include "Tavrel/Config/LoadTvConf.h"
#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Process/Maxmem.h"
#include "Tavrel/Foundation/ProcFs.h"

#include <unistd.h>

#include <charconv>
#include <fstream>

namespace Tavrel::Process::Rlimit {

namespace Sys = Syscall;

namespace {

void add_error(std::string& errors, std::string_view resource, std::uint64_t value,
               const std::string& error) {
    errors += "pid " + std::to_string(::getpid()) + ": could not set " + std::string(resource) +
              " to " + limit_text(value) + ": " + error + "\n";
}

std::string error_of(const std::exception& e) {
    if (const auto* ex = dynamic_cast<const Foundation::Exception*>(&e)) {
        if (ex->error_number() != 0)
            return ex->error_text();
    }
    return e.what();
}

// Sets soft and hard to one value, noting a failure in `errors`.
void set_both(std::string& errors, std::string_view resource, std::uint64_t soft,
              std::uint64_t hard) {
    try {
        Sys::setrlimit(resource, soft, hard);
    } catch (const std::exception& e) {
        add_error(errors, resource, soft, error_of(e));
    }
}

bool report(std::string errors) {
    if (errors.empty())
        return true;
    if (errors.back() == '\n')
        errors.pop_back();
    Foundation::Debug::log_warn(errors);
    return false;
}

// The leading decimal digits of a configured number; nothing when it has none.
std::optional<std::uint64_t> leading_number(std::string_view value) {
    std::size_t start = value.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return std::nullopt;
    value.remove_prefix(start);
    std::uint64_t number = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (ec != std::errc() || end == value.data())
        return std::nullopt;
    return number;
}

}  // namespace

std::optional<std::string> read_config_key(std::string_view key) {
    std::shared_ptr<const Config::TvConf> conf;
    try {
        conf = Config::LoadTvConf::loadtvconf_not_copy();
    } catch (const std::exception& e) {
        // An unreadable configuration must not keep a daemon from starting:
        // it then gets the default ceiling and no core dumps.
        Foundation::Debug::log_warn(std::string("Cannot read the main configuration for ") +
                        std::string(key) + ": " + e.what());
        return std::nullopt;
    }
    auto it = conf->find(std::string(key));
    if (it == conf->end())
        return std::nullopt;
    return it->second;
}

std::string limit_text(std::uint64_t value) {
    return value == INFINITE_LIMIT ? std::string(INFINITY_WORD) : std::to_string(value);
}

bool config_true(std::string_view value) {
    return !value.empty() && value != "0";
}

ServerSetting get_server_setting_or_default() {
    std::uint64_t fallback = Maxmem::default_mib();
    std::uint64_t configured = fallback;
    if (auto raw = config_value("maxmem")) {
        if (raw->find_first_not_of(" \t") == std::string::npos) {
            configured = 0;  // an empty value means unlimited
        } else if (auto number = leading_number(*raw)) {
            configured = *number;
        } else {
            // A value that is no number at all is a typo, not a request for
            // unlimited memory: keep the default.
            Foundation::Debug::log_warn("Ignoring the non-numeric maxmem value \"" + *raw + "\"");
        }
    }
    ServerSetting setting{};
    if (configured == 0) {
        setting.limit_bytes = INFINITE_LIMIT;
    } else {
        std::uint64_t mib = configured < fallback ? fallback : configured;
        setting.limit_bytes = mib > INFINITE_LIMIT / MIB ? INFINITE_LIMIT : mib * MIB;
    }
    auto core = config_value("coredump");
    setting.coredump = core && config_true(*core);
    return setting;
}

bool set_rlimit(std::optional<std::uint64_t> limit, const std::vector<std::string>& names) {
    ServerSetting setting = get_server_setting_or_default();
    std::uint64_t value = limit.value_or(setting.limit_bytes);
    if (value == 0)
        value = INFINITE_LIMIT;
    std::uint64_t core = setting.coredump ? value : 0;
    static const std::vector<std::string> memory = {"RSS", "AS"};
    std::string errors;
    for (const auto& name : names.empty() ? memory : names) {
        if (name == "AS" && !ADDRESS_SPACE_CEILING && value != INFINITE_LIMIT)
            continue;
        set_both(errors, name, value, value);
    }
    set_both(errors, "CORE", core, core);
    return report(std::move(errors));
}

bool set_min_rlimit(std::uint64_t minimum) {
    std::string errors;
    for (const char* name : {"RSS", "AS"}) {
        try {
            auto [soft, hard] = Sys::getrlimit(name);
            if (soft < minimum || hard < minimum)
                set_both(errors, name, minimum, minimum);
        } catch (const std::exception& e) {
            add_error(errors, name, minimum, error_of(e));
        }
    }
    return report(std::move(errors));
}

std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> get_current_rlimits() {
    std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> limits;
    for (const char* name : {"RSS", "AS", "CORE"})
        limits[name] = Sys::getrlimit(name);
    return limits;
}

bool restore_rlimits(const std::map<std::string, std::vector<std::uint64_t>>& limits) {
    std::string errors;
    for (const auto& [name, values] : limits) {
        if (values.size() != 2) {
            errors += "pid " + std::to_string(::getpid()) + ": malformed saved limit for " + name +
                      " (expected soft and hard)\n";
            continue;
        }
        set_both(errors, name, values[0], values[1]);
    }
    return report(std::move(errors));
}

bool set_rlimit_to_infinity() {
    return set_rlimit(INFINITE_LIMIT);
}

std::uint64_t max_open_files() {
    std::ifstream in(Foundation::ProcFs::PROC_PATH + "/" + NR_OPEN_FILE);
    std::string line;
    if (!in || !std::getline(in, line))
        return NR_OPEN_FALLBACK;
    auto number = leading_number(line);
    return number && *number > 0 ? *number : NR_OPEN_FALLBACK;
}

bool set_open_files_to_maximum() {
    return set_rlimit(max_open_files(), {"NOFILE"});
}

}  // namespace Tavrel::Process::Rlimit
