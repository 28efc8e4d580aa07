#include <gtest/gtest.h>

#include "TimeCore.h"

namespace tidewell {
namespace {

// https_host_tests is built for the time host https://time.example:8443
// (tests/core/CMakeLists.txt): the scheme stays, the path is the time page's.
TEST(TimePageAddressTest, IsTheHttpsTimerPageOfAnHttpsHost) {
  EXPECT_EQ(TimePageAddress(), "https://time.example:8443/cgi-bin/timer.pl");
}

}  // namespace
}  // namespace tidewell
