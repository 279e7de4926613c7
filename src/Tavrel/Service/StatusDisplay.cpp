#include "Tavrel/Service/StatusDisplay.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Output/Base.h"
#include "Tavrel/Service/Base.h"

namespace Tavrel::Service::StatusDisplay {

void show_status(Base& srv) {
    std::string status = srv.service_status();
    if (status.empty())
        status = NO_STATUS_PHRASE + " " + srv.class_name() + ".";
    srv.output_obj().display_message_set(STATUS_TITLE, status);
}

void show_failure(Base& srv, const Foundation::Exception& failure) {
    srv.output(failure.class_name());
    show_status(srv);
    srv.output_obj().display_message_set(ERROR_TITLE, failure.to_string());
}

void show_fpm_status(Base& srv) {
    // The line says it runs only after a look that says so.
    (void)srv.status();
    srv.output("PHP-FPM is running.");
}

}  // namespace Tavrel::Service::StatusDisplay
