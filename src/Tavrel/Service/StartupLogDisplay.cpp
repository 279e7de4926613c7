#include "Tavrel/Service/StartupLogDisplay.h"

#include "Tavrel/Service/Base.h"
#include "Tavrel/Init/Log.h"
#include "Tavrel/Init/Log/Display.h"

namespace Tavrel::Service::StartupLogDisplay {

std::string log_words(Tavrel::Service::Base& srv) {
    const std::string name = srv.service_name();
    return name == srv.service() ? name : name + "|" + srv.service();
}

void mark_run_start(Tavrel::Service::Base& srv) {
    Init::Log::mark_logs_at_run_start(log_words(srv));
}

void show(Tavrel::Service::Base& srv) {
    Init::Log::Display({.service = srv.service_name(),
                            .output_obj = &srv.output_obj(),
                            .service_via_systemd = srv.service_manager().service_via_systemd(),
                            .service_words = log_words(srv)})
        .show_startup_log();
}

}  // namespace Tavrel::Service::StartupLogDisplay
