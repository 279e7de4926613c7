// Tavrel::Init::SysV::StartupLog: where a service's startup log lives. The
// launcher (Tavrel/Init/SysV/Startup.h) writes it and the log retrieval
// reads it, both through these two functions.
//
//   auto path = Tavrel::Init::SysV::StartupLog::startup_log_path("proftpd");
//   // "/var/log/zidavoveva/startup/ftpd"
//
// Several older service words share one log: every FTP daemon writes "ftpd",
// every spelling of the mail server "exim", "apache" writes "httpd", and the
// two mailbox protocols "imap" and "pop" write "dovecot".
#pragma once

#include <string>
#include <string_view>

namespace Tavrel::Init::SysV::StartupLog {

// One file per service. Created with mode 0700 (parents too) on the first
// launch; the logs themselves are 0600, since a daemon's start-up output may
// show configuration secrets.
inline std::string STARTUP_LOG_DIR = "/var/log/zidavoveva/startup";

// The name under which the service's startup log is stored.
std::string get_service_name_from_legacy_name(std::string_view service);

// STARTUP_LOG_DIR/<mapped name>. Throws Name::Invalid when `service` is not a
// single file-system node name.
std::string startup_log_path(std::string_view service);

}  // namespace Tavrel::Init::SysV::StartupLog
