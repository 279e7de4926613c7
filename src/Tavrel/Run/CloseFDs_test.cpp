#include "Tavrel/Run/CloseFDs.h"

#include "testsupport/InChild.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

bool is_open(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

// Descriptors opened without close-on-exec, as an inherited one would be.
TEST(CloseFDsTest, ClosesAllButStandardStreamsAndTheKeptOnes) {
    EXPECT_EQ(Tavrel::TestSupport::in_child([] {
                  int a = ::open("/dev/null", O_RDONLY);
                  int b = ::open("/dev/null", O_RDONLY);
                  int c = ::open("/dev/null", O_RDONLY);
                  int far = ::fcntl(a, F_DUPFD, 200);
                  // Kept entries out of order, repeated, and below 3.
                  Tavrel::Run::CloseFDs::fast_closefds({far, b, 1, b, -1});
                  if (!is_open(0) || !is_open(1) || !is_open(2))
                      return 1;
                  if (is_open(a) || is_open(c))
                      return 2;
                  if (!is_open(b) || !is_open(far))
                      return 3;
                  Tavrel::Run::CloseFDs::fast_closefds();
                  return is_open(b) || is_open(far) ? 4 : 0;
              }),
              0);
}

}  // namespace
