// Tavrel::Init::Log::Display: shows why a service failed to start, after
// the failure: its startup log, then the system log lines of its programs,
// each under a header, with error and warning lines marked.
//
//   Tavrel::Init::Log::Display display({.service = "cron", .output_obj = &out});
//   display.show_startup_log();
//
// Failures to find or read a log are silent here: the failure being explained
// is what matters. A missing service or output object is Param::Missing.
#pragma once

#include "Tavrel/Output/Base.h"
#include "Tavrel/Init/Log.h"

#include <optional>
#include <string>

namespace Tavrel::Init::Log {

class Display {
  public:
    struct Options {
        std::string service{};
        Output::Base* output_obj = nullptr;  // not owned; outlives the display
        // The unit's properties when the caller already has them.
        std::optional<UnitProperties> service_via_systemd{};
        // The names whose logs are searched ("apache2|httpd": the
        // distribution's name and the tool's word); `service` when empty.
        std::string service_words{};
    };

    explicit Display(Options options);

    // Shows what there is to show; 1.
    int show_startup_log();

  private:
    Options o_;
};

}  // namespace Tavrel::Init::Log
