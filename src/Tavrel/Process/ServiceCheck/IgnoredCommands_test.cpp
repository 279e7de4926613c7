#include "Tavrel/Process/ServiceCheck/IgnoredCommands.h"

#include <gtest/gtest.h>

using Tavrel::Process::ServiceCheck::IgnoredCommands::should_ignore_this_command;

TEST(ShouldIgnoreThisCommand, CommandsThatOnlyMentionAService) {
    for (const char* cmd : {
             "logtaild - Watching",
             "dovecot/imap-login",
             "dovecot/auth",
             "/usr/local/tavrel/scripts/startsrv_exim",
             "stopexim --force",
             "/usr/local/bin/zidavoveva_exim --check",
             "/bin/sh /etc/init.d/exim4 restart",
             "systemctl restart exim",
             "journalctl -u exim -f",
             "tail -f /var/log/exim_mainlog",
             "/usr/bin/perl /usr/local/tavrel/bin/eximstats",
             "perl -w /root/scripts/check_exim",
             "strace -p 1234",
             "gdb /usr/sbin/exim",
             "/usr/sbin/logrotate /etc/logrotate.conf",
             "grep exim",
         })
        EXPECT_TRUE(should_ignore_this_command(cmd)) << cmd;
}

TEST(ShouldIgnoreThisCommand, RealServiceProcessesCount) {
    for (const char* cmd : {
             "/usr/sbin/exim -bd -q1h",
             "/usr/sbin/dovecot -F",
             "dovecot/imapx",
             "logtaild -x",
             "/usr/local/tavrel/3rdparty/perl/536/bin/perl "
             "/usr/local/tavrel/3rdparty/perl/536/bin/spamd -d",
             "/usr/local/tavrel/3rdparty/bin/spamd -d",
             "/usr/sbin/sshd -D",
             "nginx: master process /usr/sbin/nginx",
             "/usr/sbin/named -u bind",
             "",
         })
        EXPECT_FALSE(should_ignore_this_command(cmd)) << cmd;
}
