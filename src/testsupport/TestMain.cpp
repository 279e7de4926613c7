// The main of every unit-test program. The logger writes to the product's
// log files whenever their directory exists, which it does on any server
// where the program has run: tests that read the messages from standard
// error would then see nothing, and would write into the host's logs. Every
// test program therefore starts with log paths that cannot be opened; a test
// that wants a log file points them at its own temporary directory.
// Likewise, a run as root writes the platform identity cache wherever a
// question about the platform is asked: every test program keeps it in a
// temporary directory of its own, removed when it ends, so the suite leaves
// the machine as it found it.
#include "Tavrel/Logger.h"
#include "Tavrel/OS/SysBootstrap.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    Tavrel::Logger::STD_LOG_FILE = "/nonexistent/zidavoveva-unit-tests/error_log";
    Tavrel::Logger::PANIC_LOG_FILE = "/nonexistent/zidavoveva-unit-tests/panic_log";
    std::string identity_dir = "/tmp/zidavoveva-unit-os.XXXXXX";
    if (::mkdtemp(identity_dir.data()) == nullptr)
        identity_dir = "/nonexistent/zidavoveva-unit-tests/os";
    namespace SB = Tavrel::OS::SysBootstrap;
    SB::CACHE_DIR = identity_dir + "/caches/os";
    SB::CACHE_LINK = SB::CACHE_DIR + "/identity";
    SB::CUSTOM_LINK = SB::CACHE_DIR + "/identity.custom";
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(identity_dir, ignored);
    return status;
}
