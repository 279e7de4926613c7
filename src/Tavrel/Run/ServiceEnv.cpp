#include "Tavrel/Run/ServiceEnv.h"

#include "Tavrel/Run/Env.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Run/Timezones.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace Tavrel::Run::ServiceEnv {

void setup_env_for_starting_a_daemon() {
    std::vector<std::string> keep(std::begin(DAEMON_KEEP_VARS), std::end(DAEMON_KEEP_VARS));
    std::vector<std::string> remove(std::begin(CALLER_SESSION_VARS), std::end(CALLER_SESSION_VARS));
    Env::clean_env({.keep = std::move(keep), .remove = std::move(remove)});
    ::setenv("HOME", SUPERUSER_HOME.c_str(), 1);
    ::setenv("USER", SUPERUSER_NAME.c_str(), 1);
    ::setenv("LOGNAME", SUPERUSER_NAME.c_str(), 1);
    ::setenv("ZIDAVOVEVA", "1", 1);
    ::setenv("TZ", Timezones::calculate_TZ_env().c_str(), 1);
    if (::chdir(WORKING_DIRECTORY.c_str()) != 0) {
        int err = errno;
        throw Foundation::Exception::create("Io::ChdirFailed", {{"path", WORKING_DIRECTORY}, {"error", err}});
    }
    ::setenv("PWD", WORKING_DIRECTORY.c_str(), 1);
}

}  // namespace Tavrel::Run::ServiceEnv
