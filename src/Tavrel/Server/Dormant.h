// Tavrel::Server::Dormant: the dormant-mode settings of one daemon. A
// dormant daemon exits after a quiet period and is started again by the next
// connection, which saves memory on small servers.
//
//   Tavrel::Server::Dormant d("hubsrvd", 900);  // children may idle 900 s
//   ... on each connection: d.got_an_active_connection();
//   if (d.should_go_dormant().value_or(false)) exit_quietly();
//
// Dormant mode is on for a service while DORMANT_SERVICES_DIR/<service>
// ENABLE_SUFFIX exists (checked at construction). That file's first line, a
// number n > 1, sets the delay to n - 1 minutes. FAST_MODE_FILE in the same
// directory makes every daemon go dormant after 15 seconds (for testing).
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Server {

class Dormant {
  public:
    static inline std::string DORMANT_SERVICES_DIR = "/etc/tavrel/dormant";
    static inline std::string ENABLE_SUFFIX = ".dormant";
    static inline std::string FAST_MODE_FILE = "fast_mode";  // inside DORMANT_SERVICES_DIR

    // Seconds; and minutes of inactivity before going dormant, per service.
    static int idle_timeout_for(std::string_view service);
    static double go_dormant_in_n_minutes_for(std::string_view service);

    // Param::Missing for an empty service, Param::Invalid for an invalid one.
    explicit Dormant(std::string_view service,
                     std::optional<double> minimum_idle_timeout = std::nullopt);

    void got_an_active_connection() { last_connection_ = ::time(nullptr); }
    time_t get_last_connection() const { return last_connection_; }
    bool is_enabled() const { return can_go_dormant_; }
    int idle_timeout();
    // The delay in minutes. Tavrel::Foundation::PlainError when the enable file exists but
    // cannot be read.
    double go_dormant_in_n_minutes();
    // Nothing when dormant mode is off; else whether the delay has passed
    // since the last connection.
    std::optional<bool> should_go_dormant(std::optional<time_t> now = std::nullopt);

    const std::string& service() const { return service_; }
    const std::string& enable_file() const { return enable_file_; }

  private:
    std::string service_;
    std::string enable_file_;
    time_t last_connection_;
    bool can_go_dormant_ = false;
    std::optional<int> idle_timeout_;
    std::optional<double> dormant_in_n_minutes_;
};

}  // namespace Tavrel::Server
