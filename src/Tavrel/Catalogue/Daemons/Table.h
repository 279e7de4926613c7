// Tavrel::Catalogue::Daemons::Table: the built-in classes of the
// hosting server's daemons, declared as records rather than one subclass each.
//
//   for (const Entry& e : Catalogue::entries()) {
//       auto srv = std::make_unique<Daemon>(e);     // then apply options, BUILD()
//       srv->service();      // "httpd": the record's word
//       srv->class_name();   // "Tavrel::ServiceManager::Services::Httpd", shown as given
//   }
//
// A record holds what is the same on every distribution (ports, orphan rules,
// reload support, time-outs, the panel's own start and stop arguments). What
// the distribution decides (unit and init-script name, program, pid file,
// package, worker user) comes from the platform facts (Tavrel::Config::OS), so a class
// never tests which distribution it runs on.
//
// A record restarts gracefully (SIGUSR1, then the pid file's rewrite) only
// when the real daemon has been seen to restart in place and rewrite its pid
// file: a wrong claim would make every restart wait out the graceful time-out
// first. Of the distributions' daemons only the web server does.
#pragma once

#include "Tavrel/Service/Hot.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Catalogue::Daemons {

struct Entry {
    // The class's name as the program prints it (never read back).
    std::string class_name;  // "Tavrel::ServiceManager::Services::Exim_altport"
    std::string word;        // service word: "exim-altport"
    std::vector<int> ports;
    std::vector<std::string> doomed_rules;  // process names of orphans
    bool support_reload = false;
    // Reloads only through its unit: the init script has no reload action,
    // or its reload re-executes the daemon under a new pid.
    bool reload_needs_systemd = false;
    // The package's unit keeps the daemon in the foreground without a pid
    // file; the pid file exists only when its init script or this tool
    // starts it.
    bool no_pidfile_under_systemd = false;
    std::optional<std::vector<std::string>> restart_args;
    double startup_timeout = 10;
    int restart_attempts = 0;
    // The panel starts the program itself (no unit or init script of a package).
    bool is_tavrel_service = false;
    std::optional<std::vector<std::string>> startup_args;
    std::optional<std::vector<std::string>> shutdown_args;
    bool has_single_pid = true;
    // Restarts in place on SIGUSR1 and rewrites its pid file.
    bool graceful = false;
    // Tests the configuration without touching the daemon; a restart of a
    // running daemon is refused when it fails (empty: no test).
    std::vector<std::string> config_test;
    // The program and pid file when they are the same everywhere (the panel's
    // own daemons); "{panel}" and "{run}" stand for PANEL_DIR and PANEL_RUN_DIR,
    // and "{pidfile}" in the arguments for the pid file.
    std::string binary;
    std::string pidfile;
    // The words that drive this same daemon, this one among them, the one
    // whose installed rule speaks for it first (FTP: "ftpd", "proftpd").
    // They answer alike: enabled when the first is and no other word's flag
    // files switch it off. Empty: the word stands alone.
    std::vector<std::string> daemon_words;
};

namespace Table {

// Where the panel's own programs live.
inline std::string PANEL_DIR = "/usr/local/tavrel";
// Where the panel's own daemons write their pid files.
inline std::string PANEL_RUN_DIR = "/run";

// Every record, sorted by service word.
const std::vector<Entry>& entries();
// The word whose answers (installed, enabled) the daemon that `word` drives
// has: the first of its record's daemon_words; `word` itself otherwise.
std::string daemon_word(std::string_view word);

}  // namespace Table

// Every record's class can restart gracefully; only a record that says so does.
class Daemon : public Tavrel::Service::Hot {
  public:
    explicit Daemon(const Entry& entry) : entry_(entry) {}

    std::string class_name() const override { return entry_.class_name; }
    const Entry& entry() const { return entry_; }

    bool has_restart_gracefully() const override { return entry_.graceful; }
    std::optional<bool> restart_gracefully() override {
        return entry_.graceful ? Tavrel::Service::Hot::restart_gracefully() : std::nullopt;
    }

  protected:
    std::string _build_service() override { return entry_.word; }
    std::string _build_service_override() override;
    std::string _build_service_binary() override;
    std::string _build_pidfile() override;
    std::string _build_pid_exe() override;
    std::string _build_processowner() override;
    std::vector<std::string> _build_service_package() override;
    std::vector<int> _build_ports() override { return entry_.ports; }
    std::vector<std::string> _build_doomed_rules() override { return entry_.doomed_rules; }
    bool _build_support_reload() override;
    std::optional<std::vector<std::string>> _build_restart_args() override { return entry_.restart_args; }
    double _build_startup_timeout() override { return entry_.startup_timeout; }
    // A daemon allowed minutes to come up (a database recovering) gets as
    // long for its init script, which often waits for it.
    double _build_command_timeout() override {
        return std::max(Tavrel::Service::Hot::_build_command_timeout(), entry_.startup_timeout);
    }
    int _build_restart_attempts() override { return entry_.restart_attempts; }
    bool _build_is_tavrel_service() override { return entry_.is_tavrel_service; }
    std::optional<std::vector<std::string>> _build_startup_args() override { return expand(entry_.startup_args); }
    std::optional<std::vector<std::string>> _build_shutdown_args() override { return expand(entry_.shutdown_args); }
    bool _build_has_single_pid() override { return entry_.has_single_pid; }
    bool _build_graceful_by_default() override { return entry_.graceful; }
    bool _build_is_enabled() override;
    std::vector<std::string> _build_config_test() override { return entry_.config_test; }

  private:
    // Fills in "{panel}", "{run}" and "{pidfile}" in a record's texts.
    std::string expand(const std::string& text);
    std::optional<std::vector<std::string>> expand(const std::optional<std::vector<std::string>>& args);

    const Entry& entry_;
};

}  // namespace Tavrel::Catalogue::Daemons
