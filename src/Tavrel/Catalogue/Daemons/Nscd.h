// Tavrel::Catalogue::Daemons::Nscd: the name-service cache daemon.
#pragma once

#include "Tavrel/Service/Base.h"

namespace Tavrel::Catalogue::Daemons {

class Nscd : public Tavrel::Service::Base {
  public:
    // The service this class is for; the program is installed under it.
    static constexpr std::string_view WORD = "nscd";
    static inline std::string BINARY = "/usr/sbin/nscd";
    static inline std::string PIDFILE = "/run/nscd/nscd.pid";

    std::string class_name() const override { return "Tavrel::ServiceManager::Services::Nscd"; }

  protected:
    std::string _build_service() override { return std::string(WORD); }
    std::string _build_service_binary() override { return BINARY; }
    std::string _build_pidfile() override { return PIDFILE; }
    std::string _build_pid_exe() override;
    // The unit reloads (it invalidates the caches); Debian's init script has
    // no reload action at all, so without systemd there is nothing to run.
    bool _build_support_reload() override;
};

}  // namespace Tavrel::Catalogue::Daemons
