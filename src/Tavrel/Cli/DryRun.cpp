#include "Tavrel/Cli/DryRun.h"

#include "Tavrel/Cli/ServiceList.h"
#include "Tavrel/Init/Backend.h"
#include "Tavrel/Server/Type/Profile/Roles.h"
#include "Tavrel/Service/Base.h"
#include "Tavrel/Service/Lock.h"
#include "Tavrel/Service/Plan.h"

namespace Tavrel::Cli::DryRun {

namespace {

using Tavrel::Service::Lock;
namespace Plan = Tavrel::Service::Plan;

std::string yes_no(bool value) { return value ? "yes" : "no"; }

void locks(Service::Base& srv) {
    const std::string word_lock = Lock::get_run_lock_file_for_service(srv.service());
    const std::string daemon_lock = Lock::get_run_lock_file_for_daemon(srv.controlled_daemon());
    const std::string holder = Lock::holder_of_path(word_lock) + Lock::holder_of_path(daemon_lock);
    Plan::step(srv, "lock",
               holder.empty() ? "Its run locks are free."
                              : "Its run lock is held" + holder + ": the run would wait up to " +
                                    std::to_string(static_cast<long>(Lock::LOCK_TIMEOUT)) + " s for it.",
               {{"free", holder.empty()}, {"files", {word_lock, daemon_lock}}, {"holder", holder}});
}

void checks(Service::Base& srv) {
    const bool enabled = srv.is_enabled();
    const bool installed = ServiceList::is_installed(srv);
    const bool allowed = Server::Type::Profile::Roles::is_service_allowed(srv.service()) != 0;
    Plan::step(srv, "checks",
               "Enabled: " + yes_no(enabled) + "; installed: " + yes_no(installed) + "; allowed on this server: " +
                   yes_no(allowed) + ".",
               {{"enabled", enabled}, {"installed", installed}, {"allowed", allowed}});
}

}  // namespace

void introduce(Service::Base& srv) {
    Plan::step(srv, "backend", "It would drive “" + srv.service() + "” through " + Plan::init_system_of(srv) + ".",
               {{"backend", srv.service_manager().class_name()}, {"daemon", srv.controlled_daemon()}});
    locks(srv);
    checks(srv);
}

}  // namespace Tavrel::Cli::DryRun
