// Tavrel::Init (questions): what only the init system can tell about a
// service, asked by the service's name without naming the init system. The
// backend a service object owns (Init::choose_backend) answers for one run;
// these answer before there is one, or for many services at once.
//
//   if (Init::has_init_script("cron") || Init::has_usable_unit("cron")) ...
//   { const Init::LookAtOnce once(services); ...each service's look... }
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Tavrel::Init {

namespace Systemd::Systemctl {
class Batch;
}

// An executable init script of exactly this name (a prefix match would make
// any short word a service).
bool has_init_script(const std::string& service);
// systemd has a unit for the service that the tool would drive it through.
bool has_usable_unit(const std::string& service);
// The unit the service runs under as the unit files say, without asking
// systemd (which an account other than root may not reach); "" when none.
std::string unit_id_from_files(const std::string& service);
// The signal ("TERM", "KILL") with which systemd already stops the unit
// whose stop command this run is; nothing while it does not.
std::optional<std::string> stopping_signal_of(const std::string& unit);

// While it lives, every look at these services' units is answered from one
// query of the init system, taken when it was made (a listing of many).
class LookAtOnce {
  public:
    explicit LookAtOnce(const std::vector<std::string>& services);
    ~LookAtOnce();
    LookAtOnce(const LookAtOnce&) = delete;
    LookAtOnce& operator=(const LookAtOnce&) = delete;

  private:
    std::unique_ptr<Systemd::Systemctl::Batch> batch_;
};

}  // namespace Tavrel::Init
