#include "Tavrel/Server/Database/ServerConfig.h"

#include "Tavrel/Server/Database/Logs.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

namespace Server = Tavrel::Server::Database::ServerConfig;
namespace Logs = Tavrel::Server::Database::Logs;
using Tavrel::TestSupport::TempDir;

// Debian 12's MariaDB 10.11 packaging: /etc/mysql/mariadb.cnf (my.cnf links
// to it) and the two files of /etc/mysql/mariadb.conf.d, as shipped.
constexpr const char* MARIADB_CNF = R"CNF(
[client-server]
# Port or socket location where to connect
# port = 3306
socket = /run/mysqld/mysqld.sock

# Import all .cnf files from configuration directory
!includedir /etc/mysql/conf.d/
!includedir /etc/mysql/mariadb.conf.d/
)CNF";
constexpr const char* SERVER_CNF = R"CNF(
#
# These groups are read by MariaDB server.
# Use it for options that only the server (but not clients) should see

# this is read by the standalone daemon and embedded servers
[server]

# this is only for the mysqld standalone daemon
[mysqld]

#
# * Basic Settings
#

#user                    = mysql
pid-file                = /run/mysqld/mysqld.pid
basedir                 = /usr
#datadir                 = /var/lib/mysql
#tmpdir                  = /tmp

# Broken reverse DNS slows down connections considerably and name resolve is
# safe to skip if there are no "host by domain name" access grants
#skip-name-resolve

# Instead of skip-networking the default is now to listen only on
# localhost which is more compatible and is not less secure.
bind-address            = 127.0.0.1

#
# * Fine Tuning
#

#key_buffer_size        = 128M
#max_allowed_packet     = 1G
#thread_stack           = 192K
#thread_cache_size      = 8
# This replaces the startup script and checks MyISAM tables if needed
# the first time they are touched
#myisam_recover_options = BACKUP
#max_connections        = 100
#table_cache            = 64

#
# * Logging and Replication
#

# Note: The configured log file or its directory need to be created
# and be writable by the mysql user, e.g.:
# $ sudo mkdir -m 2750 /var/log/mysql
# $ sudo chown mysql /var/log/mysql

# Both location gets rotated by the cronjob.
# Be aware that this log type is a performance killer.
# Recommend only changing this at runtime for short testing periods if needed!
#general_log_file       = /var/log/mysql/mysql.log
#general_log            = 1

# When running under systemd, error logging goes via stdout/stderr to journald
# and when running legacy init error logging goes to syslog due to
# /etc/mysql/conf.d/mariadb.conf.d/50-mysqld_safe.cnf
# Enable this if you want to have error logging into a separate file
#log_error = /var/log/mysql/error.log
# Enable the slow query log to see queries with especially long duration
#log_slow_query_file    = /var/log/mysql/mariadb-slow.log
#log_slow_query_time    = 10
#log_slow_verbosity     = query_plan,explain
#log-queries-not-using-indexes
#log_slow_min_examined_row_limit = 1000

# The following can be used as easy to replay backup logs or for replication.
# note: if you are setting up a replication slave, see README.Debian about
#       other settings you may need to change.
#server-id              = 1
#log_bin                = /var/log/mysql/mysql-bin.log
expire_logs_days        = 10
#max_binlog_size        = 100M

#
# * SSL/TLS
#

# For documentation, please read
# https://mariadb.com/kb/en/securing-connections-for-client-and-server/
#ssl-ca = /etc/mysql/cacert.pem
#ssl-cert = /etc/mysql/server-cert.pem
#ssl-key = /etc/mysql/server-key.pem
#require-secure-transport = on

#
# * Character sets
#

# MySQL/MariaDB default is Latin1, but in Debian we rather default to the full
# utf8 4-byte character set. See also client.cnf
character-set-server  = utf8mb4
collation-server      = utf8mb4_general_ci

#
# * InnoDB
#

# InnoDB is enabled by default with a 10MB datafile in /var/lib/mysql/.
# Read the manual for more InnoDB related options. There are many!
# Most important is to give InnoDB 80 % of the system RAM for buffer use:
# https://mariadb.com/kb/en/innodb-system-variables/#innodb_buffer_pool_size
#innodb_buffer_pool_size = 8G

# this is only for embedded server
[embedded]

# This group is only read by MariaDB servers, not by MySQL.
# If you use the same .cnf file for MySQL and MariaDB,
# you can put MariaDB-only options here
[mariadb]

# This group is only read by MariaDB-10.11 servers.
# If you use the same .cnf file for MariaDB of different versions,
# use this group for options that older servers don't understand
[mariadb-10.11]
)CNF";
constexpr const char* MYSQLD_SAFE_CNF = R"CNF(
[mysqld_safe]
# This will be passed to all mysql clients
# It has been reported that passwords should be enclosed with ticks/quotes
# especially if they contain "#" chars...

nice = 0
skip_log_error
syslog
)CNF";

std::string host() {
    char buf[256] = {};
    ::gethostname(buf, sizeof buf - 1);
    std::string name(buf);
    return name.substr(0, name.find('.'));
}

class MyCnfTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = Server::CONFIG_FILES;
        std::string text = MARIADB_CNF;
        for (size_t at; (at = text.find("/etc/mysql/")) != std::string::npos;)
            text.replace(at, 11, tmp_.path() + "/");
        tmp_.write("conf.d/.keep", "");
        tmp_.write("mariadb.conf.d/50-server.cnf", SERVER_CNF);
        tmp_.write("mariadb.conf.d/50-mysqld_safe.cnf", MYSQLD_SAFE_CNF);
        Server::CONFIG_FILES = {tmp_ / "missing.cnf", tmp_.write("my.cnf", text)};
    }
    void TearDown() override { Server::CONFIG_FILES = saved_; }
    std::vector<std::string> saved_;
    TempDir tmp_;
};

TEST_F(MyCnfTest, DebianPackagingAsShipped) {
    EXPECT_EQ(Server::option("pid_file"), "/run/mysqld/mysqld.pid");
    EXPECT_EQ(Server::option("character-set-server"), "utf8mb4");
    EXPECT_EQ(Server::option("socket"), std::nullopt);          // [client-server] only
    EXPECT_EQ(Server::option("skip_log_error"), std::nullopt);  // [mysqld_safe] only
    EXPECT_EQ(Server::option("log_error"), std::nullopt);       // commented out
    EXPECT_EQ(Server::option("datadir"), std::nullopt);
}

TEST_F(MyCnfTest, ErrorLogFollowsTheServerSettings) {
    tmp_.write("mariadb.conf.d/60-local.cnf", "[mysqld]\nlog-error = mysqld-errors\n");
    EXPECT_EQ(Logs::get_mysql_error_log_file(), Logs::DEFAULT_DATADIR + "/mysqld-errors.err");
    tmp_.write("mariadb.conf.d/70-local.cnf",
               "[mariadb]\ndatadir = \"/srv/db/\"\nlog_error = logs/db.log # moved\n");
    EXPECT_EQ(Logs::get_mysql_error_log_file(), "/srv/db/logs/db.log");
    tmp_.write("mariadb.conf.d/80-local.cnf", "[server]\nlog-error\n");
    EXPECT_EQ(Logs::get_mysql_error_log_file(), "/srv/db/" + host() + ".err");
    tmp_.write("mariadb.conf.d/90-local.cnf", "[mysqld]\nlog_error=/var/log/db/e.log\n");
    EXPECT_EQ(Logs::get_mysql_error_log_file(), "/var/log/db/e.log");
}

TEST_F(MyCnfTest, IncludeLoopsEndAndParseKeepsOrder) {
    tmp_.write("conf.d/loop.cnf", "!include " + tmp_ / "my.cnf" + "\n[mysqld]\nport=1\n");
    EXPECT_EQ(Server::option("port"), "1");
    auto settings = Server::parse("[MySQLd]\nA-b = 'x y'\n; note\n!includedir /d/\nbare\n");
    ASSERT_EQ(settings.size(), 3u);
    EXPECT_EQ(settings[0].group, "mysqld");
    EXPECT_EQ(settings[0].name, "a_b");
    EXPECT_EQ(settings[0].value, "x y");
    EXPECT_EQ(settings[1].group, "!includedir");
    EXPECT_EQ(settings[1].value, "/d/");
    EXPECT_EQ(settings[2].name, "bare");
    EXPECT_EQ(settings[2].value, "");
}

}  // namespace
