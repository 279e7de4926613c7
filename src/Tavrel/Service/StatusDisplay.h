// Tavrel::Service::StatusDisplay: the service's status as a run shows
// it at verbosity 1 (beside the status check of Base_status.cpp): the status
// block after a verb that leaves the service running, and the failure block
// that takes its place when the verb failed.
//
//   StatusDisplay::show_status(*srv);       // "Service Status": the last status text
//   StatusDisplay::show_failure(*srv, e);   // the failure's class name, the
//                                           // status block, "Service Error": its text
//   StatusDisplay::show_fpm_status(*srv);   // "PHP-FPM is running." or the is-down failure
#pragma once

#include <string>

namespace Tavrel::Foundation {
class Exception;
}

namespace Tavrel::Service {

class Base;

namespace StatusDisplay {

inline std::string STATUS_TITLE = "Service Status";
inline std::string ERROR_TITLE = "Service Error";
// "No status was reported by Tavrel::Catalogue::Daemons::Httpd.":
// the block of a service that reported no status text.
inline std::string NO_STATUS_PHRASE = "No status was reported by";

// The status text the service last reported, under STATUS_TITLE.
void show_status(Base& srv);
// The failure's class name on a line of its own (programs that read the
// output match it), the status block, then the failure's text under
// ERROR_TITLE.
void show_failure(Base& srv, const Foundation::Exception& failure);
// After the status block of the PHP-FPM service: a fresh status check, which
// raises the is-down failure when it is down, then one line that it runs.
void show_fpm_status(Base& srv);

}  // namespace StatusDisplay
}  // namespace Tavrel::Service
