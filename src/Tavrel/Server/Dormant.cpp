#include "Tavrel/Server/Dormant.h"

#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/Validate/Service.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <map>

namespace Tavrel::Server {

namespace {

struct Row {
    int idle_timeout;
    double go_dormant_minutes;
};

Row row_for(std::string_view service) {
    static const std::map<std::string, Row, std::less<>> table = {
        {"hubsrvd", {30, 2}},
        {"dnsadmin", {5, 5}},
        {"spamd", {30, 15}},
    };
    auto it = table.find(service);
    return it == table.end() ? Row{60, 10} : it->second;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string minutes_text(double m) {
    std::string s = std::to_string(m);
    s.erase(s.find_last_not_of('0') + 1);
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    return s;
}

}  // namespace

int Dormant::idle_timeout_for(std::string_view service) {
    return row_for(service).idle_timeout;
}

double Dormant::go_dormant_in_n_minutes_for(std::string_view service) {
    return row_for(service).go_dormant_minutes;
}

Dormant::Dormant(std::string_view service, std::optional<double> minimum_idle_timeout)
    : service_(service), last_connection_(::time(nullptr)) {
    if (service.empty())
        throw Foundation::Exception::create("Param::Missing", {{"name", "service"}});
    Tavrel::Foundation::Validate::Service::assert_valid(service);
    enable_file_ = DORMANT_SERVICES_DIR + "/" + service_ + ENABLE_SUFFIX;

    double delay = go_dormant_in_n_minutes();
    if (minimum_idle_timeout && *minimum_idle_timeout > delay * 60) {
        double raised = *minimum_idle_timeout / 60;
        // Children may still serve idle connections this long: do not leave them.
        Foundation::Debug::log_warn("The dormant delay of " + service_ + " is raised from " +
                        minutes_text(delay) + " to " + minutes_text(raised) +
                        " minutes to cover its idle connections.");
        dormant_in_n_minutes_ = raised;
    }
    if (exists(DORMANT_SERVICES_DIR + "/" + FAST_MODE_FILE)) {
        idle_timeout_ = 5;
        dormant_in_n_minutes_ = 0.25;
    }
    can_go_dormant_ = exists(enable_file_);
}

int Dormant::idle_timeout() {
    if (!idle_timeout_)
        idle_timeout_ = idle_timeout_for(service_);
    return *idle_timeout_;
}

double Dormant::go_dormant_in_n_minutes() {
    if (dormant_in_n_minutes_)
        return *dormant_in_n_minutes_;
    dormant_in_n_minutes_ = go_dormant_in_n_minutes_for(service_);
    if (exists(enable_file_)) {
        std::ifstream in(enable_file_);
        if (!in) {
            int err = errno;
            throw Foundation::PlainError("Cannot read " + enable_file_ + ": " + std::strerror(err));
        }
        std::string line;
        std::getline(in, line);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        long value = 1;  // an empty line counts as 1: keep the default
        if (!line.empty()) {
            auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), value);
            if (ec != std::errc())
                value = 1;
            (void)end;
        }
        if (value > 1)
            dormant_in_n_minutes_ = static_cast<double>(value - 1);
    }
    return *dormant_in_n_minutes_;
}

std::optional<bool> Dormant::should_go_dormant(std::optional<time_t> now) {
    if (!can_go_dormant_)
        return std::nullopt;
    double elapsed = static_cast<double>(now.value_or(::time(nullptr)) - last_connection_);
    return elapsed >= go_dormant_in_n_minutes() * 60;
}

}  // namespace Tavrel::Server
