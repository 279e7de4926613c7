#include "Tavrel/ZidavovEva/Help.h"

#include <unistd.h>

namespace Tavrel::ZidavovEva::Help {

std::string text(const std::string& service) {
    const std::string s = service.empty() ? "SERVICE" : service;
    const std::string named = service.empty() ? "zidavoveva_service SERVICE" : "zidavoveva_" + s;
    return "Usage: " + named + " [options]\n"
           "       start" + s + " [options]   stop" + s + " [options]\n"
           "       zidavoveva_service [options] " + s + "\n"
           "\n"
           "Restarts the service " + s + " (the default action), or stops, reloads, checks\n"
           "it or shows its status, through systemd or its init script.\n"
           "\n"
           "Options (later ones override earlier ones):\n"
           "  --status                  show whether " + s + " runs, with its pid\n"
           "  --check                   check that " + s + " runs and answers\n"
           "  --stop, --no-stop         stop " + s + " (stop" + s + " implies it)\n"
           "  --reload, --no-reload     reload its configuration, when it can\n"
           "  --restart, --start        restart it\n"
           "  --no-restart              do nothing but show the status\n"
           "  --graceful, --no-graceful restart without dropping connections, when it can\n"
           "  --restart-attempt=N       make only start attempt number N\n"
           "  --force                   start even while a base installation runs\n"
           "  --verbose, --no-verbose   progress and summaries (on in a shell)\n"
           "  --debug, --no-debug       timed debug lines; --no-debug is quiet\n"
           "  --html                    write HTML instead of terminal text\n"
           "  --json                    one JSON record per message, for programs\n"
           "  --skip-if-absent          succeed when " + s + " is not installed\n"
           "  --no-fpm-status           leave out the PHP-FPM status after a restart\n"
           "  --systemd-service=UNIT    the unit that runs this as its stop command\n"
           "  --systemd-unit-command    run as a systemd unit's own start or stop command\n"
           "  --ignore-systemd          drive the service through its init script and find\n"
           "                            its process without asking systemd\n"
           "  --help, -h                show this text\n"
           "\n"
           "The bare words start, restart, stop, status, check and reload stand for\n"
           "their options: zidavoveva_" + s + " status is zidavoveva_" + s + " --status.\n"
           "\n"
           "Exit status:\n"
           "  0    success (also: not installed with --skip-if-absent)\n"
           "  143  ended by a TERM signal\n"
           "  255  the service failed (with --verbose, the reason is shown above)\n"
           "  other non-zero: the reason is written on standard error\n";
}

int usage(const std::string& service) {
    const std::string t = text(service);
    (void)!::write(STDOUT_FILENO, t.data(), t.size());
    return 0;
}

}  // namespace Tavrel::ZidavovEva::Help
