// The main of every unit-test program. The logger writes to the product's
// log files whenever their directory exists, which it does on any server
// where the program has run: tests that read the messages from standard
// error would then see nothing, and would write into the host's logs. Every
// test program therefore starts with log paths that cannot be opened; a test
// that wants a log file points them at its own temporary directory.
#include "Tavrel/Logger.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    Tavrel::Logger::STD_LOG_FILE = "/nonexistent/zidavoveva-unit-tests/error_log";
    Tavrel::Logger::PANIC_LOG_FILE = "/nonexistent/zidavoveva-unit-tests/panic_log";
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
