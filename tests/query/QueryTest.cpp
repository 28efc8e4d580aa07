#include <gtest/gtest.h>

#include "DryRunPlatform.h"
#include "FakePlatform.h"
#include "QueryReport.h"
#include "TimeCore.h"

namespace tidewell {
namespace {

using std::chrono::system_clock;

TEST(DryRunPlatformTest, SynchronisationRecordsTheRequestAndNeverSetsTheClock) {
  FakePlatform inner;
  inner.SetZone(300, 0, -60, 0, 0, 0, 0);
  inner.clock = DateTime::FromParts(2026, 12, 7, 6, 59, 0);
  inner.ServeTime(" 12:00:00 ");
  DryRunPlatform platform(inner);
  TimeCore core(platform);

  EXPECT_TRUE(core.DoAtomicTime());
  EXPECT_TRUE(inner.clockSets.empty());
  ASSERT_TRUE(platform.LastRequest().has_value());
  EXPECT_EQ(platform.LastRequest()->requested, DateTime::FromParts(2026, 12, 7, 7, 0, 0));
  EXPECT_EQ(platform.LastRequest()->clockAtRequest, DateTime::FromParts(2026, 12, 7, 6, 59, 0));
  // The read-back shows the time as if it had been set.
  EXPECT_EQ(core.m_StrAtomicTime, "7:00:00 AM");
}

TEST(DryRunPlatformTest, TheRequestKeepsTheFiguresOfThePagesReply) {
  using namespace std::chrono_literals;
  FakePlatform inner;
  inner.ServeTime(" 12:00:00 ");
  const ReplyTiming timing{{1ms, 640ms}, 21ms, std::chrono::steady_clock::now()};
  inner.replyTiming = timing;
  DryRunPlatform platform(inner);
  TimeCore core(platform);
  ASSERT_TRUE(core.DoAtomicTime());
  ASSERT_TRUE(platform.LastRequest().has_value());
  ASSERT_TRUE(platform.LastRequest()->reply.has_value());
  EXPECT_EQ(platform.LastRequest()->reply->server, timing.server);
  EXPECT_EQ(platform.LastRequest()->reply->exchange, 21ms);
  // The requested time is the page's second and what the figures put past it: 640 ms + 10 ms.
  EXPECT_GE(platform.LastRequest()->fraction, 650ms);
  EXPECT_LT(platform.LastRequest()->fraction, 850ms);

  inner.replyTiming.reset();
  ASSERT_TRUE(core.DoAtomicTime());
  EXPECT_FALSE(platform.LastRequest()->reply.has_value());
}

TEST(DryRunPlatformTest, NoTimeEntryLeavesNoRequest) {
  FakePlatform inner;
  inner.page.body = "no time here";
  DryRunPlatform platform(inner);
  TimeCore core(platform);
  EXPECT_FALSE(core.DoAtomicTime());
  EXPECT_FALSE(platform.LastRequest().has_value());
}

// What the query tool prints after "why:" when no time is obtained.
TEST(DryRunPlatformTest, AFailedDownloadKeepsTheReasonThePlatformGives) {
  FakePlatform inner;
  inner.page.reachable = false;
  inner.page.failure = "SSL certificate problem: unable to get local issuer certificate";
  DryRunPlatform platform(inner);
  TimeCore core(platform);
  EXPECT_FALSE(core.DoAtomicTime());
  EXPECT_EQ(platform.LastFailure(), inner.page.failure);

  inner.page = {};
  inner.ServeTime(" 12:00:00 ");
  EXPECT_TRUE(core.DoAtomicTime());
  EXPECT_EQ(platform.LastFailure(), "");
}

TEST(DryRunPlatformTest, HostOverrideRedirectsTheDownload) {
  FakePlatform inner;
  inner.ServeTime(" 12:00:00 ");
  DryRunPlatform platform(inner, "[::1]:9000");
  TimeCore core(platform);
  core.DoAtomicTime();
  ASSERT_EQ(inner.addressesOpened.size(), 1u);
  EXPECT_EQ(inner.addressesOpened[0], "http://[::1]:9000/cgi-bin/timer.pl");
}

struct HostCase {
  const char* address;
  const char* host;
  const char* expected;
};

class WithHostTest : public ::testing::TestWithParam<HostCase> {};

TEST_P(WithHostTest, ReplacesOnlyTheHost) {
  EXPECT_EQ(DryRunPlatform::WithHost(GetParam().address, GetParam().host), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, WithHostTest,
    ::testing::Values(
        HostCase{"http://127.0.0.1:8037/cgi-bin/timer.pl", "time.example.org",
                 "http://time.example.org/cgi-bin/timer.pl"},
        HostCase{"http://a/cgi-bin/timer.pl", "b:81", "http://b:81/cgi-bin/timer.pl"},
        HostCase{"http://a", "b", "http://b"},
        HostCase{"https://a:8443/cgi-bin/timer.pl", "b", "https://b/cgi-bin/timer.pl"},
        HostCase{"http://a/cgi-bin/timer.pl", "https://b:8443", "https://b:8443/cgi-bin/timer.pl"},
        HostCase{"https://a/cgi-bin/timer.pl", "http://b", "http://b/cgi-bin/timer.pl"},
        HostCase{"ftp://a/x", "b", "ftp://a/x"}));

// A moment of the system clock at a given UTC time of day (on 2026-12-07) plus milliseconds.
system_clock::time_point UtcAt(int hour, int minute, int second, int milliseconds = 0) {
  constexpr std::int64_t kDay20261207 = 20794;  // days from 1970-01-01
  const std::int64_t seconds = kDay20261207 * 86400 + hour * 3600 + minute * 60 + second;
  return system_clock::time_point(std::chrono::seconds(seconds) +
                                  std::chrono::milliseconds(milliseconds));
}

struct OffsetCase {
  const char* name;
  DateTime requested;
  std::int32_t bias;
  system_clock::time_point system;
  double expected;
  std::chrono::nanoseconds pastPageSecond{};
};

void PrintTo(const OffsetCase& c, std::ostream* os) { *os << c.name; }

class ClockOffsetTest : public ::testing::TestWithParam<OffsetCase> {};

TEST_P(ClockOffsetTest, IsThePageMinusTheClock) {
  const OffsetCase& c = GetParam();
  EXPECT_NEAR(ClockOffsetSeconds(c.requested, c.bias, c.system, c.pastPageSecond), c.expected,
              1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, ClockOffsetTest,
    ::testing::Values(
        OffsetCase{"ClockBehind", DateTime::FromParts(2026, 12, 7, 7, 0, 0), 300,
                   UtcAt(11, 59, 57, 250), 2.75},
        OffsetCase{"ClockAhead", DateTime::FromParts(2026, 12, 7, 13, 0, 0), -60,
                   UtcAt(12, 0, 37, 250), -37.25},
        OffsetCase{"PageJustAfterUtcMidnight", DateTime::FromParts(2026, 12, 7, 19, 0, 1), 300,
                   UtcAt(23, 59, 59), 2.0},
        OffsetCase{"ClockJustAfterUtcMidnight", DateTime::FromParts(2026, 12, 7, 18, 59, 58), 300,
                   UtcAt(0, 0, 1), -3.0},
        OffsetCase{"HalfHourZone", DateTime::FromParts(2026, 12, 7, 17, 30, 0), -330,
                   UtcAt(12, 0, 0), 0.0},
        // The reply's figures put the true time 650.4 ms past the page's second.
        OffsetCase{"PastThePagesSecond", DateTime::FromParts(2026, 12, 7, 7, 0, 0), 300,
                   UtcAt(12, 0, 0, 600), 0.0504, std::chrono::microseconds{650'400}},
        OffsetCase{"PastThePagesSecondIntoTheNext", DateTime::FromParts(2026, 12, 7, 7, 0, 0), 300,
                   UtcAt(12, 0, 1, 10), -0.0003, std::chrono::microseconds{1'009'700}},
        OffsetCase{"PastThePagesSecondAcrossUtcMidnight",
                   DateTime::FromParts(2026, 12, 7, 18, 59, 59), 300, UtcAt(0, 0, 0, 5), 0.0,
                   std::chrono::milliseconds{1'005}}));

TEST(UniversalTimeOfDayTest, UndoesTheBias) {
  EXPECT_EQ(HhMmSs(UniversalTimeOfDay(DateTime::FromParts(2026, 12, 7, 23, 30, 0), 60)),
            "00:30:00");
  EXPECT_EQ(HhMmSs(UniversalTimeOfDay(DateTime::FromParts(2026, 12, 7, 5, 30, 0), -570)),
            "20:00:00");
}

}  // namespace
}  // namespace tidewell
