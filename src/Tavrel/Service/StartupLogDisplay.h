// Tavrel::Service::StartupLogDisplay: what a run made the service write,
// shown at the end of the run beside its startup log (StartupLog.h): the
// startup output of the run's commands, then the lines the service's own
// logs and the system logs got meanwhile. The line that names why a start
// failed is often only in the latter (the web server's error log, the
// unit's journal).
//
//   StartupLogDisplay::mark_run_start(*srv);   // before the action: where the logs end now
//   ... the action ...
//   StartupLogDisplay::show(*srv);             // on the service's output object
#pragma once

#include <string>

namespace Tavrel::Service {
class Base;
}

namespace Tavrel::Service::StartupLogDisplay {

// The names the service's logs are known by: the distribution's name of the
// daemon and the tool's word for it ("apache2|httpd"), or the one name.
std::string log_words(Tavrel::Service::Base& srv);
// Marks where the service's logs end before anything is done to it, so that
// show() shows only what this run added.
void mark_run_start(Tavrel::Service::Base& srv);
void show(Tavrel::Service::Base& srv);

}  // namespace Tavrel::Service::StartupLogDisplay
