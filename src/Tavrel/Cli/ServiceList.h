// Tavrel::Cli::ServiceList: `zidavoveva_service --list`, every service word
// this server knows and what a fresh look finds of each: whether its software
// is installed, whether it is enabled, whether it runs and its main pid.
//
//   $ zidavoveva_service --list
//   SERVICE  INSTALLED  ENABLED  RUNNING  PID
//   crond    yes        yes      yes      412
//   exim     no         no       no       -
//
// The words are the built-in classes' (Catalogue/Registry.h), the
// administrators' definitions (one file per module word in
// Catalogue::Definition::DIR) and the service monitor's entries
// (Server::Monitor::Config::SVCWATCH_DIR), each service once, sorted. With
// --json every service is one record of type "service" instead of a line.
//
// A listing changes nothing: it takes no run lock (a restart busy with one
// service holds nothing up), starts and stops nothing, and needs no root.
// What could not be told of a service is "?" (null in its record), with the
// reason in the record and on standard error; the listing still ends 0. Of a
// service whose software is not installed, ENABLED and RUNNING do not apply:
// "-" (null in its record, beside "installed": false), unless its daemon is
// seen running all the same. Words that drive one daemon (ftpd and proftpd)
// get one answer. With --html the listing is an HTML table.
#pragma once

#include "Tavrel/Init/RunOptions.h"
#include "Tavrel/Output/Base.h"

#include <nlohmann/json.hpp>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace Tavrel::Service {
class Base;
}

namespace Tavrel::Cli::ServiceList {

// The message type of a service's record.
inline constexpr std::string_view RECORD_TYPE = "service";

struct Row {
    std::string service{};
    std::optional<bool> installed{};
    std::optional<bool> enabled{};
    std::optional<bool> running{};
    // The first pid the status check names; none when down, and for a
    // service that counts as running without a process.
    std::optional<pid_t> main_pid{};
    // Why a column could not be told; empty when every one was.
    std::string problem{};
};

// Every service word this server knows, each service once, sorted.
std::vector<std::string> known_words();

// Whether the service's software is installed: its program, when it names
// one, is there to run, and the installed registry counts it as installed (a
// definition says so by itself); for a word the registry has no rule for,
// its program alone decides.
bool is_installed(Service::Base& srv);

// A fresh look at one service; never throws.
Row look_at(const std::string& word, const Init::RunOptions& run, int verbose = 0);

// The rows as a table with a header line, columns aligned.
std::string table(const std::vector<Row>& rows);

// The listing's formats (--format): the table, or metrics for a monitoring
// system's text-file collector.
inline const std::string FORMAT_TABLE = "table";
inline const std::string FORMAT_PROMETHEUS = "prometheus";

// The rows in the Prometheus text format: a gauge each for installed,
// enabled and running (1 or 0), labelled by service, and the main pid as its
// own gauge. A value that could not be told, or that does not apply (whether
// software that is not installed is enabled), has no sample.
std::string metrics(const std::vector<Row>& rows);
// The same as an HTML table, header cells <th>, every text escaped.
std::string html_table(const std::vector<Row>& rows);

nlohmann::ordered_json record(const Row& row);

// Looks at every known service and shows each on `out`: a table, or a
// record each when `out` writes records (--json), an HTML table when it is
// HTML output. Returns the exit status, 0.
int show(Output::Base& out, bool records, const Init::RunOptions& run, int verbose);
// The listing as metrics (see metrics), written whole at the end.
int show_metrics(Output::Base& out, const Init::RunOptions& run, int verbose);

}  // namespace Tavrel::Cli::ServiceList
