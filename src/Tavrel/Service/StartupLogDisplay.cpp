#include "Tavrel/Init/StartupLogDisplay.h"

#include "Tavrel/Service/Base.h"
#include "Tavrel/Init/Log.h"
#include "Tavrel/Init/Log/Display.h"

namespace Tavrel::ZidavovEva::StartupLogDisplay {

std::string log_words(ServiceManager::Base& srv) {
    const std::string name = srv.service_name();
    return name == srv.service() ? name : name + "|" + srv.service();
}

void mark_run_start(ServiceManager::Base& srv) {
    Services::Log::mark_logs_at_run_start(log_words(srv));
}

void show(ServiceManager::Base& srv) {
    Services::Log::Display({.service = srv.service_name(),
                            .output_obj = &srv.output_obj(),
                            .service_via_systemd = srv.service_manager().service_via_systemd(),
                            .service_words = log_words(srv)})
        .show_startup_log();
}

}  // namespace Tavrel::ZidavovEva::StartupLogDisplay
