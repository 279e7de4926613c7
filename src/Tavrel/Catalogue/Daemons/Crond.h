// Tavrel::Catalogue::Daemons::Crond: the job scheduler (cron on Debian, cronie on RHEL).
//
// The distribution names the unit, the init script and the program:
// "cron" and /usr/sbin/cron on Debian, "crond" and /usr/sbin/crond on RHEL.
// It has no reload: the scheduler rereads its tables by itself, and Debian's
// unit offers no reload action.
#pragma once

#include "Tavrel/Service/Base.h"

namespace Tavrel::Catalogue::Daemons {

class Crond : public Tavrel::Service::Base {
  public:
    // The service this class is for; the program is installed under it.
    static constexpr std::string_view WORD = "crond";
    static inline std::string PIDFILE = "/run/crond.pid";

    std::string class_name() const override { return "Tavrel::ServiceManager::Services::Crond"; }

  protected:
    std::string _build_service() override { return std::string(WORD); }
    std::string _build_service_override() override;
    std::string _build_service_binary() override;
    std::string _build_pidfile() override { return PIDFILE; }
    std::string _build_pid_exe() override;
};

}  // namespace Tavrel::Catalogue::Daemons
