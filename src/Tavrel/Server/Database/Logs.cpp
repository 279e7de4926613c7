#include "Tavrel/Server/Database/Logs.h"

#include "Tavrel/Server/Database/ServerConfig.h"
#include "Tavrel/Config/OS.h"

#include <unistd.h>

namespace Tavrel::Server::Database::Logs {

namespace {

std::string host_name() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || !buf[0])
        return "localhost";
    std::string name(buf);
    return name.substr(0, name.find('.'));
}

}  // namespace

std::string get_mysql_error_log_file() {
    std::string datadir = ServerConfig::option("datadir").value_or("");
    if (datadir.empty())
        datadir = DEFAULT_DATADIR;
    while (datadir.size() > 1 && datadir.back() == '/')
        datadir.pop_back();

    auto configured = ServerConfig::option("log_error");
    if (!configured) {
        auto it = DEFAULT_ERROR_LOG_BY_FAMILY.find(Config::OS::base_distro());
        if (it != DEFAULT_ERROR_LOG_BY_FAMILY.end())
            return it->second;
        return datadir + "/" + host_name() + ".err";
    }
    std::string value = *configured;
    if (value.empty())
        return datadir + "/" + host_name() + ".err";
    if (value.front() == '/')
        return value;
    std::string base = value.substr(value.rfind('/') == std::string::npos ? 0 : value.rfind('/') + 1);
    if (base.find('.') == std::string::npos)
        value += ".err";
    return datadir + "/" + value;
}

}  // namespace Tavrel::Server::Database::Logs
