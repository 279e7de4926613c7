// Tavrel::Service::Base: construction, attributes, the backend choice
// and the reporting operations. The lifecycle, status and clean-up
// operations live in Base_lifecycle.cpp, Base_status.cpp and Base_cleanup.cpp.
#include "Tavrel/Service/Base.h"

#include "Tavrel/Run/Binaries.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Config/OS.h"
#include "Tavrel/Output/Base.h"
#include "Tavrel/Output/Formatted/Terminal.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Server/Enabled.h"
#include "Tavrel/Init/Choice.h"
#include "Tavrel/Service/Lock.h"
#include "Tavrel/Run/SetupPath.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace Tavrel::Service {

namespace {

using json = nlohmann::json;

[[noreturn]] void invalid_value(std::string_view name, const json& value) {
    throw Foundation::Exception::create("Param::Invalid", {{"name", std::string(name)}, {"value", value.dump()}});
}

bool to_bool(std::string_view name, const json& v) {
    if (v.is_boolean())
        return v.get<bool>();
    if (v.is_number())
        return v.get<double>() != 0;
    if (v.is_null())
        return false;
    if (v.is_string()) {
        std::string s = v.get<std::string>();
        if (s.empty() || s == "0" || s == "false" || s == "no")
            return false;
        if (s == "1" || s == "true" || s == "yes")
            return true;
    }
    invalid_value(name, v);
}

long to_long(std::string_view name, const json& v) {
    if (v.is_number_unsigned()) {
        if (v.get<unsigned long>() > static_cast<unsigned long>(LONG_MAX))
            invalid_value(name, v);
        return static_cast<long>(v.get<unsigned long>());
    }
    if (v.is_number_integer())
        return v.get<long>();
    // A whole number written as a float, within range: converting 1e300 to
    // a long is undefined.
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (std::isfinite(d) && d == std::trunc(d) && d >= -9.2e18 && d <= 9.2e18)
            return static_cast<long>(d);
    }
    if (v.is_string()) {
        std::string s = v.get<std::string>();
        if (!s.empty() && s.size() < 18 &&
            std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); }))
            return std::stol(s);
    }
    invalid_value(name, v);
}

double to_double(std::string_view name, const json& v) {
    if (v.is_number())
        return v.get<double>();
    return static_cast<double>(to_long(name, v));
}

// A text as the system will read it: a NUL byte would silently cut a path,
// a program or an argument short where it is handed to the kernel.
std::string text_of(std::string_view name, const json& v, const json& whole) {
    std::string s = v.get<std::string>();
    if (s.find('\0') != std::string::npos)
        invalid_value(name, whole);
    return s;
}

std::string to_text(std::string_view name, const json& v) {
    if (v.is_string())
        return text_of(name, v, v);
    if (v.is_null())
        return {};
    if (v.is_number_integer())
        return std::to_string(v.get<long>());
    invalid_value(name, v);
}

// One text or a list of texts.
std::vector<std::string> to_list(std::string_view name, const json& v) {
    if (v.is_null())
        return {};
    if (v.is_string())
        return {text_of(name, v, v)};
    if (!v.is_array())
        invalid_value(name, v);
    std::vector<std::string> out;
    for (const auto& e : v) {
        if (!e.is_string())
            invalid_value(name, v);
        out.push_back(text_of(name, e, v));
    }
    return out;
}

std::optional<std::vector<std::string>> to_optional_list(std::string_view name, const json& v) {
    if (v.is_null())
        return std::nullopt;
    return to_list(name, v);
}

std::vector<int> to_ports(std::string_view name, const json& v) {
    std::vector<int> out;
    auto one = [&](const json& e) {
        long p = to_long(name, e);
        if (p < 1 || p > 65535)
            invalid_value(name, v);
        out.push_back(static_cast<int>(p));
    };
    if (v.is_null())
        return out;
    if (v.is_array()) {
        for (const auto& e : v)
            one(e);
    } else {
        one(v);
    }
    return out;
}

// The attribute's text: a verb's word in capitals, or a custom action's word.
void set_action_taken_by_name(Base& b, const std::string& text) {
    for (const VerbRow& row : verbs()) {
        std::string spelt(row.word);
        std::transform(spelt.begin(), spelt.end(), spelt.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (text == spelt) {
            b.set_service_argv_action(row.verb);
            return;
        }
    }
    b.set_custom_action_taken(text);
}

using Setter = std::function<void(Base&, std::string_view, const json&)>;

// Declaration order of the attribute table.
const std::vector<std::pair<std::string, Setter>>& setters() {
    static const std::vector<std::pair<std::string, Setter>> table = {
        {"is_tavrel_service",
         [](Base& b, auto n, const json& v) { b.set_is_tavrel_service(to_bool(n, v)); }},
        {"processowner", [](Base& b, auto n, const json& v) { b.set_processowner(to_text(n, v)); }},
        {"service", [](Base& b, auto n, const json& v) { b.set_service(to_text(n, v)); }},
        {"service_binary",
         [](Base& b, auto n, const json& v) { b.set_service_binary(to_text(n, v)); }},
        {"suspend_time", [](Base& b, auto n, const json& v) { b.set_suspend_time(to_long(n, v)); }},
        {"is_configured", [](Base& b, auto n, const json& v) { b.set_is_configured(to_bool(n, v)); }},
        {"not_configured_reason",
         [](Base& b, auto n, const json& v) { b.set_not_configured_reason(to_text(n, v)); }},
        {"is_enabled", [](Base& b, auto n, const json& v) { b.set_is_enabled(to_bool(n, v)); }},
        {"has_single_pid",
         [](Base& b, auto n, const json& v) { b.set_has_single_pid(to_bool(n, v)); }},
        {"service_argv_action",
         [](Base& b, auto n, const json& v) { set_action_taken_by_name(b, to_text(n, v)); }},
        {"service_name", [](Base& b, auto n, const json& v) { b.set_service_name(to_text(n, v)); }},
        {"service_status",
         [](Base& b, auto n, const json& v) { b.set_service_status(to_text(n, v)); }},
        {"can_check_service_status",
         [](Base& b, auto n, const json& v) { b.set_can_check_service_status(to_bool(n, v)); }},
        {"doomed_rules", [](Base& b, auto n, const json& v) { b.set_doomed_rules(to_list(n, v)); }},
        {"graceful_by_default",
         [](Base& b, auto n, const json& v) { b.set_graceful_by_default(to_bool(n, v)); }},
        {"call_with_force",
         [](Base& b, auto n, const json& v) { b.set_call_with_force(to_bool(n, v)); }},
        {"block_fresh_install",
         [](Base& b, auto n, const json& v) { b.set_block_fresh_install(to_bool(n, v)); }},
        {"pidfile", [](Base& b, auto n, const json& v) { b.set_pidfile(to_text(n, v)); }},
        {"pid_exe", [](Base& b, auto n, const json& v) { b.set_pid_exe(to_text(n, v)); }},
        {"ports", [](Base& b, auto n, const json& v) { b.set_ports(to_ports(n, v)); }},
        {"listen_addresses",
         [](Base& b, auto n, const json& v) { b.set_listen_addresses(to_list(n, v)); }},
        {"restart_args",
         [](Base& b, auto n, const json& v) { b.set_restart_args(to_optional_list(n, v)); }},
        {"config_test", [](Base& b, auto n, const json& v) { b.set_config_test(to_list(n, v)); }},
        {"service_override",
         [](Base& b, auto n, const json& v) { b.set_service_override(to_text(n, v)); }},
        {"service_package",
         [](Base& b, auto n, const json& v) { b.set_service_package(to_list(n, v)); }},
        {"service_to_suspend",
         [](Base& b, auto n, const json& v) { b.set_service_to_suspend(to_text(n, v)); }},
        {"startup_args",
         [](Base& b, auto n, const json& v) { b.set_startup_args(to_optional_list(n, v)); }},
        {"shutdown_args",
         [](Base& b, auto n, const json& v) { b.set_shutdown_args(to_optional_list(n, v)); }},
        {"verbose",
         [](Base& b, auto n, const json& v) { b.set_verbose(static_cast<int>(to_long(n, v))); }},
        {"restart_attempts",
         [](Base& b, auto n, const json& v) {
             b.set_restart_attempts(v.is_null() ? 0 : static_cast<int>(to_long(n, v)));
         }},
        {"current_restart_attempt",
         [](Base& b, auto n, const json& v) {
             b.set_current_restart_attempt(v.is_null() ? std::nullopt
                                                       : std::optional<int>(to_long(n, v)));
         }},
        {"support_reload",
         [](Base& b, auto n, const json& v) { b.set_support_reload(to_bool(n, v)); }},
        {"command_line_regex",
         [](Base& b, auto n, const json& v) {
             std::string pattern = to_text(n, v);
             if (!pattern.empty()) {
                 try {
                     Foundation::Regex check(pattern);
                 } catch (const std::exception&) {
                     invalid_value(n, v);
                 }
             }
             b.set_command_line_regex(std::move(pattern));
         }},
        {"startup_timeout",
         [](Base& b, auto n, const json& v) { b.set_startup_timeout(to_double(n, v)); }},
        {"start_settle",
         [](Base& b, auto n, const json& v) {
             const double seconds = to_double(n, v);
             if (!(seconds >= 0) || !std::isfinite(seconds))
                 invalid_value(n, v);
             b.set_start_settle(seconds);
         }},
        {"command_timeout",
         [](Base& b, auto n, const json& v) {
             // Nothing waits without a bound: no bound is not a value.
             const double seconds = to_double(n, v);
             if (!(seconds > 0) || !std::isfinite(seconds))
                 invalid_value(n, v);
             b.set_command_timeout(seconds);
         }},
        {"_pretend_not_called_from_restart",
         [](Base& b, auto n, const json& v) {
             b.set__pretend_not_called_from_restart(to_bool(n, v));
         }},
        {"disable_output_partial",
         [](Base& b, auto n, const json& v) { b.set_disable_output_partial(to_bool(n, v)); }},
    };
    return table;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

// --- Construction -----------------------------------------------------------

Base::Base() : pid_(::getpid()) {}

Base::~Base() {
    // Only the process that built the object gives the locks back, the
    // daemon's first; a forked child merely closes its copies of the
    // descriptors (Tavrel::Foundation::File::Flock).
    if (::getpid() != pid_)
        return;
    for (auto* held : {&daemon_lock_, &lock_}) {
        if (*held) {
            try {
                (*held)->release();
            } catch (...) {
            }
        }
    }
}

void Base::BUILD() {
    debug("Building the service object " + class_name() + " for " + service_name());
    Run::setuppath();
    (void)lock();
    (void)daemon_lock();
}

bool Base::set_attribute(std::string_view name, const nlohmann::json& value) {
    for (const auto& [attr, setter] : setters()) {
        if (attr == name) {
            setter(*this, name, value);
            return true;
        }
    }
    return false;
}

std::vector<std::string> Base::attribute_names() const {
    std::vector<std::string> names;
    for (const auto& entry : setters())
        names.push_back(entry.first);
    return names;
}

void Base::apply_options(const nlohmann::json& options, bool ignore_unknown) {
    if (options.is_null())
        return;
    if (!options.is_object())
        throw Foundation::Exception::create("Param::Invalid", {{"name", "options"}, {"value", options.dump()}});
    for (const auto& [name, value] : options.items()) {
        if (!set_attribute(name, value) && !ignore_unknown)
            throw Foundation::Exception::create("Param::Invalid", {{"name", name}, {"value", value.dump()}});
    }
}

// --- Attributes -------------------------------------------------------------

bool Base::is_tavrel_service() {
    return is_tavrel_service_.get([&] { return _build_is_tavrel_service(); });
}
std::string Base::processowner() {
    return processowner_.get([&] { return _build_processowner(); });
}
std::string Base::service() {
    return service_.get([&] { return _build_service(); });
}
std::string Base::service_binary() {
    return service_binary_.get([&] { return _build_service_binary(); });
}
long Base::suspend_time() {
    return suspend_time_.get([&] { return _build_suspend_time(); });
}
bool Base::is_configured() {
    return is_configured_.get([&] { return _build_is_configured(); });
}
std::string Base::not_configured_reason() {
    return not_configured_reason_.get([&] { return _build_not_configured_reason(); });
}
bool Base::is_enabled() {
    return is_enabled_.get([&] { return _build_is_enabled(); });
}
bool Base::has_single_pid() {
    return has_single_pid_.get([&] { return _build_has_single_pid(); });
}
std::shared_ptr<Foundation::Logger> Base::logger() {
    return logger_.get([&] { return _build_logger(); });
}
Lock* Base::lock() {
    if (!lock_built_) {
        lock_ = _build_lock();
        lock_built_ = true;
    }
    return lock_.get();
}
void Base::set_lock(std::unique_ptr<Lock> v) {
    lock_ = std::move(v);
    lock_built_ = true;
}
Lock* Base::daemon_lock() {
    if (!daemon_lock_built_) {
        daemon_lock_ = _build_daemon_lock();
        daemon_lock_built_ = true;
    }
    return daemon_lock_.get();
}
void Base::set_service_argv_action(Verb v) {
    verb_taken_ = v;
    custom_action_taken_.clear();
}
void Base::set_custom_action_taken(std::string word) {
    custom_action_taken_ = std::move(word);
    verb_taken_.reset();
}
Init::Backend& Base::service_manager() {
    if (!service_manager_)
        service_manager_ = _build_service_manager();
    return *service_manager_;
}
std::string Base::service_name() {
    return service_name_.get([&] { return _build_service_name(); });
}
std::string Base::service_status() {
    return service_status_.get([] { return std::string(); });
}
bool Base::can_check_service_status() {
    return can_check_service_status_.get([&] { return _build_can_check_service_status(); });
}
std::vector<std::string> Base::doomed_rules() {
    return doomed_rules_.get([&] { return _build_doomed_rules(); });
}
bool Base::graceful_by_default() {
    return graceful_by_default_.get([&] { return _build_graceful_by_default(); });
}
bool Base::call_with_force() {
    return call_with_force_.get([] { return false; });
}
bool Base::block_fresh_install() {
    return block_fresh_install_.get([&] { return _build_block_fresh_install(); });
}
std::string Base::pidfile() {
    return pidfile_.get([&] { return _build_pidfile(); });
}
std::string Base::pid_exe() {
    return pid_exe_.get([&] { return _build_pid_exe(); });
}
std::vector<int> Base::ports() {
    return ports_.get([&] { return _build_ports(); });
}
std::vector<std::string> Base::listen_addresses() {
    return listen_addresses_.get([&] { return _build_listen_addresses(); });
}
std::optional<std::vector<std::string>> Base::restart_args() {
    return restart_args_.get([&] { return _build_restart_args(); });
}
std::vector<std::string> Base::config_test() {
    return config_test_.get([&] { return _build_config_test(); });
}
std::string Base::service_override() {
    return service_override_.get([&] { return _build_service_override(); });
}
std::vector<std::string> Base::service_package() {
    return service_package_.get([&] { return _build_service_package(); });
}
std::string Base::service_to_suspend() {
    return service_to_suspend_.get([&] { return _build_service_to_suspend(); });
}
std::optional<std::vector<std::string>> Base::startup_args() {
    return startup_args_.get([&] { return _build_startup_args(); });
}
std::optional<std::vector<std::string>> Base::shutdown_args() {
    return shutdown_args_.get([&] { return _build_shutdown_args(); });
}
int Base::verbose() {
    return verbose_.get([] { return 0; });
}
int Base::restart_attempts() {
    return restart_attempts_.get([&] { return _build_restart_attempts(); });
}
std::optional<int> Base::current_restart_attempt() {
    return current_restart_attempt_.get([] { return std::optional<int>(); });
}
bool Base::support_reload() {
    return support_reload_.get([&] { return _build_support_reload(); });
}
std::string Base::command_line_regex() {
    return command_line_regex_.get([&] { return _build_command_line_regex(); });
}
double Base::startup_timeout() {
    return startup_timeout_.get([&] { return _build_startup_timeout(); });
}

double Base::start_settle() {
    return start_settle_.get([&] { return _build_start_settle(); });
}

double Base::command_timeout() {
    return command_timeout_.get([&] { return _build_command_timeout(); });
}

double Base::_build_command_timeout() {
    // The default of every service, before a class or a definition says more.
    return Init::Service::command_timeout();
}
std::shared_ptr<const Config::TvConf> Base::tvconf() {
    return tvconf_.get([&] { return _build_tvconf(); });
}
bool Base::_pretend_not_called_from_restart() {
    return pretend_not_called_from_restart_.get([] { return false; });
}
bool Base::disable_output_partial() {
    return disable_output_partial_.get([] { return false; });
}

// --- Builders ---------------------------------------------------------------

std::string Base::_build_service_binary() {
    std::string word = lower(service());
    if (word.empty())
        return {};
    try {
        return Run::Binaries::path(word).value_or("");
    } catch (const std::exception&) {
        return {};
    }
}

bool Base::_build_is_enabled() {
    // Undetermined (-1) counts as enabled.
    if (described_by_definition())
        return Server::Enabled::is_enabled_when_installed(service()) != 0;
    return Server::Enabled::is_enabled(service()) != 0;
}

std::shared_ptr<Foundation::Logger> Base::_build_logger() { return Foundation::Logger::create(); }

std::unique_ptr<Lock> Base::_build_lock() {
    // Runs started by init, and runs without root, take no lock: init
    // serialises its own jobs, and only root may write the lock directory.
    // A run that only looks changes nothing it would need to guard, nor
    // does a dry run, which says whether the lock is free instead.
    if (run_options().started_by_init || run_options().look_only || run_options().dry_run || ::geteuid() != 0)
        return nullptr;
    std::string word = service();
    if (word.empty())
        word = LOCK_FALLBACK_WORD;
    try {
        return std::make_unique<Lock>(word);
    } catch (const Foundation::PlainError& e) {
        throw Foundation::PlainError("The system could not take the run lock of the service “" + word +
                         "”: " + e.what() + " Another run for this service may still be busy.");
    }
}

std::unique_ptr<Lock> Base::_build_daemon_lock() {
    // Only a run that holds its word's lock, and always after it: locks
    // taken in one order never leave two runs waiting for each other.
    if (!lock())
        return nullptr;
    const std::string daemon = controlled_daemon();
    try {
        return std::make_unique<Lock>(Lock::for_daemon(daemon));
    } catch (const Foundation::PlainError& e) {
        throw Foundation::PlainError("The system could not take the run lock of " + daemon +
                         ", which the service “" + service() + "” drives: " + e.what() +
                         " Another run for a service of this daemon may still be busy.");
    }
}

std::string Base::_resolved_path(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

std::string Base::systemd_unit_id() {
    const auto unit = service_manager().service_via_systemd();
    if (!unit)
        return {};
    const auto id = unit->find("Id");
    return id == unit->end() ? std::string() : id->second;
}

std::string Base::controlled_daemon() {
    Init::Backend& backend = service_manager();
    if (const std::string unit = systemd_unit_id(); !unit.empty())
        return "unit " + unit;
    if (!is_tavrel_service()) {
        if (const std::string script = backend.init_script(); !script.empty())
            return "script " + _resolved_path(script);
    }
    if (const std::string program = service_binary(); !program.empty()) {
        const std::string pid_path = pidfile();
        return "program " + _resolved_path(program) + (pid_path.empty() ? "" : " " + pid_path);
    }
    return "service " + service_name();
}

std::string Base::_build_service_name() {
    std::string override_name = service_override();
    return override_name.empty() ? service() : override_name;
}

std::shared_ptr<const Config::TvConf> Base::_build_tvconf() {
    return Config::LoadTvConf::loadtvconf_not_copy();
}

std::string Base::_get_systemd_name(std::string_view name) { return Config::OS::systemd_unit_name(name); }

std::unique_ptr<Init::Backend> Base::_build_service_manager() {
    const std::string name = service_name();
    Init::BackendChoice choice = Init::choose_backend(name, run_options());
    unit_without_systemd_ = choice.unit_not_found;
    if (!choice.unit_not_found.empty() && Config::OS::is_systemd() &&
        std::getenv("TAVREL_BASE_INSTALL") == nullptr) {
        const std::string note =
            "The service “" + name + "” has no systemd unit; the system handles it through its init script.";
        // Said to root before it acts. A listing looks at every service the
        // server knows, most of them not installed, and an account that may
        // only ask is not acting: as a warning the note would fill the error
        // log (or, without root, the terminal).
        if (run_options().look_only || ::geteuid() != 0)
            debug(note);
        else
            warn(note);
    }
    return std::move(choice.backend);
}

// --- Output and messages ----------------------------------------------------

Output::Base& Base::output_obj() {
    if (!output_obj_)
        output_obj_ = std::make_shared<Output::Formatted::Terminal>();
    return *output_obj_;
}

const Base::Action* Base::custom_action(std::string_view word) const {
    auto it = custom_actions_.find(std::string(word));
    return it == custom_actions_.end() ? nullptr : &it->second;
}

void Base::output(const std::string& text) { output_obj().output(text); }

void Base::output_partial(const std::string& text) {
    if (disable_output_partial())
        return;
    output_obj().output_partial(text);
}

void Base::info(const std::string& message) {
    if (is_debug_enabled())
        debug(message);
    else
        logger()->info(message);
}

void Base::warn(const std::string& message) {
    if (is_debug_enabled())
        debug(message);
    else
        logger()->warn(message);
}

void Base::debug(const std::string& message) {
    if (!is_debug_enabled())
        return;
    using Clock = std::chrono::steady_clock;
    static const Clock::time_point first = Clock::now();
    double seconds = std::chrono::duration<double>(Clock::now() - first).count();
    logger()->info(fmt::format("[{:.6f}] {}", seconds, message));
}

void Base::_exit(int code) { std::exit(code); }

}  // namespace Tavrel::Service
