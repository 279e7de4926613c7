// Tavrel::Cli::DryRun: the first steps of a dry run's plan (--dry-run), said
// before the action's own code runs and says the rest (Service/Plan.h): how
// the service would be driven, whether the run locks it would take are free,
// and the checks it must pass (enabled, installed, allowed on this server).
// The refusals themselves come from the action's own code, as in a real run.
#pragma once

namespace Tavrel::Service {
class Base;
}

namespace Tavrel::Cli::DryRun {

// The message of a dry run's result record: it did nothing, by design.
inline constexpr const char* NOTHING_DONE = "This was a dry run; nothing was done.";

void introduce(Service::Base& srv);

}  // namespace Tavrel::Cli::DryRun
