// The main of every unit-test program. The logger writes to the product's
// log files whenever their directory exists, which it does on any server
// where the program has run: tests that read the messages from standard
// error would then see nothing, and would write into the host's logs. Every
// test program therefore starts with log paths that cannot be opened; a test
// that wants a log file points them at its own temporary directory.
// Likewise, a run as root writes the platform identity cache and the account
// cache wherever a question about the platform or an account is asked: every
// test program keeps them in a temporary directory of its own, removed when
// it ends, so the suite leaves the machine as it found it; so does the
// history of runs.
#include "Tavrel/Cli/History.h"
#include "Tavrel/Foundation/LogCheck.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Config/OS/SysBootstrap.h"
#include "Tavrel/Config/PwDiskCache.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    Tavrel::Foundation::Logger::STD_LOG_FILE = "/nonexistent/zidavoveva-unit-tests/error_log";
    Tavrel::Foundation::Logger::PANIC_LOG_FILE = "/nonexistent/zidavoveva-unit-tests/panic_log";
    std::string caches_dir = "/tmp/zidavoveva-unit-caches.XXXXXX";
    if (::mkdtemp(caches_dir.data()) == nullptr)
        caches_dir = "/nonexistent/zidavoveva-unit-tests/caches";
    namespace SB = Tavrel::Config::OS::SysBootstrap;
    SB::CACHE_DIR = caches_dir + "/caches/os";
    SB::CACHE_LINK = SB::CACHE_DIR + "/identity";
    SB::CUSTOM_LINK = SB::CACHE_DIR + "/identity.custom";
    Tavrel::Config::PwDiskCache::CACHE_DIR = caches_dir + "/pwcache";
    // A run by root that acts on a service adds a line to the history, and
    // a start checks that the log directory can be written (making it).
    Tavrel::Cli::History::FILE = caches_dir + "/history";
    Tavrel::Foundation::LogCheck::LOG_DIR = caches_dir + "/log";
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(caches_dir, ignored);
    return status;
}
