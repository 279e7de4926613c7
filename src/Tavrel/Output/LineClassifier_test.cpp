#include "Tavrel/Output/LineClassifier.h"

#include <gtest/gtest.h>

namespace {

using Tavrel::Output::LineClassifier::classify;
using Tavrel::Output::LineClassifier::Kind;

TEST(LineClassifier, ErrorLinesFromRealDaemons) {
    for (const char* line : {
             "[Tue Dec 08 14:01:02.123456 2026] [core:error] [pid 812] AH00526: Syntax error on "
             "line 3 of /etc/apache2/sites-enabled/000-default.conf:",
             "AH00526: Syntax error on line 3",
             "Dec  8 14:01:02 host named[411]: zone example.com/IN: loading from master file "
             "db.example failed: bad owner name (check-names)",
             "2026-12-08 14:01:02 1kABCD-000123-AB ** x@example.com: error: unrouteable",
             "[err] could not bind socket",
             "proftpd[2211]: * FATAL: unable to bind",
             "2026/12/08 14:01:02 [emerg] 1#1: error: no \"events\" section",
             "[2026-12-08 14:01:02] E [pool www] unable to bind listening socket",
             "* DIE: lost connection",
         }) {
        EXPECT_EQ(classify(line), Kind::Error) << line;
    }
}

TEST(LineClassifier, WarningLines) {
    for (const char* line : {
             "[Tue Dec 08 14:01:02 2026] [warn] NameVirtualHost *:80 has no VirtualHosts",
             "warning: /etc/postfix/main.cf, line 12: overriding earlier entry",
             "[2026-12-08 14:01:02] W [pool www] seems busy",
         }) {
        EXPECT_EQ(classify(line), Kind::Warning) << line;
    }
}

TEST(LineClassifier, PlainLinesIncludingLookAlikes) {
    for (const char* line : {
             "Starting Apache httpd web server...",
             // "error" as part of "log-error" names a setting, not a failure.
             "mysqld: log-error: /var/log/mysql/error.log",
             // "err" inside a word or after a dot is not a level.
             "Redirecting stderr: to the journal",
             "mail.err /var/log/mail.err",
             "errors=0 warnings=0",
             "Errata applied",
             // The patterns are case-sensitive.
             "WARNING - not flagged",
             "",
         }) {
        EXPECT_EQ(classify(line), Kind::Plain) << line;
    }
}

TEST(LineClassifier, ErrorWinsOverWarning) {
    EXPECT_EQ(classify("warning: error: both"), Kind::Error);
}

}  // namespace
