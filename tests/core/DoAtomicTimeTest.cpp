#include <gtest/gtest.h>

#include <string>

#include "FakePlatform.h"
#include "RuntimeError.h"
#include "ThrowsRuntimeError.h"
#include "TimeCore.h"

namespace tidewell {
namespace {

// A winter day in a zone five hours behind UTC with daylight time from April to October.
class DoAtomicTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform.SetZone(300, 0, -60, 10, 26, 4, 6);
    platform.clock = DateTime::FromParts(2026, 12, 7, 7, 0, 40);
  }

  void ExpectFalseAndUntouched() {
    EXPECT_FALSE(core.DoAtomicTime());
    EXPECT_TRUE(platform.clockSets.empty());
    EXPECT_EQ(core.m_StrAtomicTime, "");
  }

  void ExpectRuntimeError(int number) {
    EXPECT_THAT([&] { core.DoAtomicTime(); }, test::ThrowsRuntimeError(number));
    EXPECT_TRUE(platform.clockSets.empty()) << "the clock must be untouched after an error";
    EXPECT_EQ(core.m_StrAtomicTime, "");
  }

  FakePlatform platform;
  TimeCore core{platform};
};

TEST_F(DoAtomicTimeTest, NoonUniversalWithBias300SetsSevenOClock) {
  platform.ServeTime(" 12:00:00 ");
  EXPECT_TRUE(core.DoAtomicTime());
  ASSERT_EQ(platform.clockSets.size(), 1u);
  EXPECT_EQ(platform.clockSets[0], DateTime::FromParts(2026, 12, 7, 7, 0, 0));
  EXPECT_EQ(core.m_StrAtomicTime, "7:00:00 AM");  // read back in the user's format
}

TEST_F(DoAtomicTimeTest, NoonUniversalWithBiasMinus60SetsOnePm) {
  platform.SetZone(-60, 0, -60, 0, 0, 0, 0);
  platform.clock = DateTime::FromParts(2026, 12, 7, 13, 5, 0);
  platform.ServeTime(" 12:00:00 ");
  EXPECT_TRUE(core.DoAtomicTime());
  ASSERT_EQ(platform.clockSets.size(), 1u);
  EXPECT_EQ(platform.clockSets[0], DateTime::FromParts(2026, 12, 7, 13, 0, 0));
  EXPECT_EQ(core.m_StrAtomicTime, "1:00:00 PM");
}

TEST_F(DoAtomicTimeTest, DaylightTimeInForceUsesTheDaylightBias) {
  platform.clock = DateTime::FromParts(2026, 7, 14, 8, 0, 2);
  platform.ServeTime(" 12:00:00 ");
  EXPECT_TRUE(core.DoAtomicTime());
  EXPECT_EQ(platform.clockSets.at(0), DateTime::FromParts(2026, 7, 14, 8, 0, 0));
}

TEST_F(DoAtomicTimeTest, HalfPastMidnightUniversalWithBias60KeepsTheClocksDate) {
  platform.SetZone(60, 0, -60, 0, 0, 0, 0);
  platform.clock = DateTime::FromParts(2026, 12, 7, 23, 29, 0);
  platform.ServeTime(" 00:30:00 ");
  EXPECT_TRUE(core.DoAtomicTime());
  EXPECT_EQ(platform.clockSets.at(0), DateTime::FromParts(2026, 12, 7, 23, 30, 0));
  EXPECT_EQ(core.m_StrAtomicTime, "11:30:00 PM");
}

// A clock near midnight or near a change of the zone, and the page's time of day.
struct ChangeDayCase {
  const char* name;
  TimeZoneSettings zone;
  DateTime clock;
  const char* pageTime;
  DateTime expected;  // the page's instant as local time
  std::int32_t expectedBias;
};

void PrintTo(const ChangeDayCase& c, std::ostream* os) { *os << c.name; }

class ChangeDayTest : public ::testing::TestWithParam<ChangeDayCase> {};

// The clock must land on the page's instant, on the nearest day, and the platform must hear
// which offset the reading was made with.
TEST_P(ChangeDayTest, SetsThePagesInstantOnTheNearestDay) {
  const ChangeDayCase& c = GetParam();
  FakePlatform platform;
  platform.zone = c.zone;
  platform.clock = c.clock;
  platform.ServeTime(std::string(" ") + c.pageTime + " ");
  TimeCore core(platform);
  EXPECT_TRUE(core.DoAtomicTime());
  ASSERT_EQ(platform.clockSets.size(), 1u);
  EXPECT_EQ(platform.clockSets[0], c.expected);
  EXPECT_EQ(platform.clockSetBiases.at(0), c.expectedBias);
}

std::string ChangeDayName(const ::testing::TestParamInfo<ChangeDayCase>& info) {
  return info.param.name;
}

// The offsets the clock is set with, in minutes west of UTC.
constexpr std::int32_t kUtcBias = 0;
constexpr std::int32_t kBerlinWinter = -60, kBerlinSummer = -120;
constexpr std::int32_t kNewYorkDaylight = 240;
constexpr std::int32_t kSydneyStandard = -600, kSydneyDaylight = -660;
constexpr std::int32_t kSantiagoSummer = 180;

// With the zone at UTC, the page's time is the local time.
constexpr TimeZoneSettings kUtc{};
constexpr TimeZoneSettings kBerlin2025{-60, 0, -60, 10, 26, 3, 30, 3 * 3600, 2 * 3600};
constexpr TimeZoneSettings kNewYork2025{300, 0, -60, 11, 2, 3, 9, 2 * 3600, 2 * 3600};
constexpr TimeZoneSettings kSydney2025{-600, 0, -60, 4, 6, 10, 5, 3 * 3600, 2 * 3600};
constexpr TimeZoneSettings kSantiago2026{240, 0, -60, 4, 4, 9, 6, 86400, 0};

const ChangeDayCase kChangeDays[] = {
    // Across midnight, in UTC.
    {"FastClockJustPastMidnight", kUtc,
     DateTime::FromParts(2026, 12, 8, 0, 0, 5), "23:59:58",
     DateTime::FromParts(2026, 12, 7, 23, 59, 58), kUtcBias},
    {"SlowClockJustBeforeMidnight", kUtc,
     DateTime::FromParts(2026, 12, 7, 23, 59, 50), "00:00:03",
     DateTime::FromParts(2026, 12, 8, 0, 0, 3), kUtcBias},
    {"NewYearsEve", kUtc,
     DateTime::FromParts(2027, 1, 1, 0, 0, 1), "23:59:59",
     DateTime::FromParts(2026, 12, 31, 23, 59, 59), kUtcBias},
    {"LeapDay", kUtc,
     DateTime::FromParts(2028, 2, 29, 23, 59, 59), "00:00:01",
     DateTime::FromParts(2028, 3, 1, 0, 0, 1), kUtcBias},
    {"MiddayStaysToday", kUtc,
     DateTime::FromParts(2026, 12, 7, 12, 0, 0), "12:00:30",
     DateTime::FromParts(2026, 12, 7, 12, 0, 30), kUtcBias},
    // In the zones below the clock is two seconds fast, so every case is a correction.
    {"BerlinBeforeClocksGoForward", kBerlin2025,
     DateTime::FromParts(2025, 3, 30, 0, 30, 2), "23:30:00",
     DateTime::FromParts(2025, 3, 30, 0, 30, 0), kBerlinWinter},
    {"BerlinBeforeClocksGoBack", kBerlin2025,
     DateTime::FromParts(2025, 10, 26, 0, 30, 2), "22:30:00",
     DateTime::FromParts(2025, 10, 26, 0, 30, 0), kBerlinSummer},
    {"BerlinRepeatedHourFirstShowing", kBerlin2025,
     DateTime::FromParts(2025, 10, 26, 2, 30, 2), "00:30:00",
     DateTime::FromParts(2025, 10, 26, 2, 30, 0), kBerlinSummer},
    {"BerlinRepeatedHourSecondShowing", kBerlin2025,
     DateTime::FromParts(2025, 10, 26, 2, 30, 2), "01:30:00",
     DateTime::FromParts(2025, 10, 26, 2, 30, 0), kBerlinWinter},
    {"BerlinOrdinarySummerDay", kBerlin2025,
     DateTime::FromParts(2025, 7, 14, 12, 0, 2), "10:00:00",
     DateTime::FromParts(2025, 7, 14, 12, 0, 0), kBerlinSummer},
    {"NewYorkBeforeClocksGoBack", kNewYork2025,
     DateTime::FromParts(2025, 11, 2, 0, 40, 2), "04:40:00",
     DateTime::FromParts(2025, 11, 2, 0, 40, 0), kNewYorkDaylight},
    {"SydneyBeforeClocksGoBack", kSydney2025,
     DateTime::FromParts(2025, 4, 6, 1, 0, 2), "14:00:00",
     DateTime::FromParts(2025, 4, 6, 1, 0, 0), kSydneyDaylight},
    {"SydneyBeforeClocksGoForward", kSydney2025,
     DateTime::FromParts(2025, 10, 5, 0, 30, 2), "14:30:00",
     DateTime::FromParts(2025, 10, 5, 0, 30, 0), kSydneyStandard},
    {"SantiagoLastSecondOfSummerTime", kSantiago2026,
     DateTime::FromParts(2026, 4, 4, 23, 59, 58), "02:59:56",
     DateTime::FromParts(2026, 4, 4, 23, 59, 56), kSantiagoSummer},
    {"SantiagoFirstSecondOfSummerTime", kSantiago2026,
     DateTime::FromParts(2026, 9, 6, 1, 0, 2), "04:00:00",
     DateTime::FromParts(2026, 9, 6, 1, 0, 0), kSantiagoSummer},
};

INSTANTIATE_TEST_SUITE_P(ChangeDays, ChangeDayTest, ::testing::ValuesIn(kChangeDays),
                         ChangeDayName);

// ---- The reply's figures bring the page's second up to date -----------------------------------

using namespace std::chrono_literals;

// A reply that arrives as the test starts: how long ago it came adds only the test's own run.
ReplyTiming ArrivingNow(Nanoseconds hold, Nanoseconds age, Nanoseconds exchange) {
  return {{hold, age}, exchange, std::chrono::steady_clock::now()};
}
constexpr Nanoseconds kTestsOwnRun = 200ms;

TEST_F(DoAtomicTimeTest, TheFiguresSetTheClockPastThePagesSecond) {
  platform.ServeTime(" 12:00:00 ");
  platform.replyTiming = ArrivingNow(1ms, 640ms, 21ms);  // 10 ms on the way here
  EXPECT_TRUE(core.DoAtomicTime());
  ASSERT_EQ(platform.clockSets.size(), 1u);
  EXPECT_EQ(platform.clockSets[0], DateTime::FromParts(2026, 12, 7, 7, 0, 0));
  EXPECT_GE(platform.clockSetFractions[0], 650ms);
  EXPECT_LT(platform.clockSetFractions[0], 650ms + kTestsOwnRun);
}

TEST_F(DoAtomicTimeTest, FiguresPastTheSecondCarryIntoTheNext) {
  platform.ServeTime(" 12:00:59 ");
  platform.replyTiming = ArrivingNow(0ns, 995ms, 20ms);
  EXPECT_TRUE(core.DoAtomicTime());
  EXPECT_EQ(platform.clockSets.at(0), DateTime::FromParts(2026, 12, 7, 7, 1, 0));
  EXPECT_GE(platform.clockSetFractions.at(0), 5ms);
  EXPECT_LT(platform.clockSetFractions.at(0), 5ms + kTestsOwnRun);
}

TEST_F(DoAtomicTimeTest, WithoutFiguresTheWholeSecondIsSet) {
  platform.ServeTime(" 12:00:00 ");
  EXPECT_TRUE(core.DoAtomicTime());
  EXPECT_EQ(platform.clockSetFractions.at(0), 0ns);
}

// Berlin's clocks go back at 01:00 UTC. The page named the last second before it, but the true
// time is past it: the clock must be set in winter time, not an hour on in summer time.
TEST_F(DoAtomicTimeTest, TheOffsetIsThatOfTheTrueInstantNotOfThePagesSecond) {
  platform.zone = {-60, 0, -60, 10, 26, 3, 30, 3 * 3600, 2 * 3600};
  platform.clock = DateTime::FromParts(2025, 10, 26, 2, 0, 2);
  platform.ServeTime(" 00:59:59 ");
  platform.replyTiming = ArrivingNow(0ns, 990ms, 220ms);  // 110 ms on the way: 01:00:00.100
  EXPECT_TRUE(core.DoAtomicTime());
  EXPECT_EQ(platform.clockSets.at(0), DateTime::FromParts(2025, 10, 26, 2, 0, 0));
  EXPECT_EQ(platform.clockSetBiases.at(0), -60);
  EXPECT_GE(platform.clockSetFractions.at(0), 100ms);
}

TEST_F(DoAtomicTimeTest, UnreachablePageGivesFalse) {
  platform.page.reachable = false;
  ExpectFalseAndUntouched();
}

// Builds a page whose last comma before the marker sits at the 1-based position `commaPosition`.
std::string PageWithCommaAt(std::size_t commaPosition) {
  return std::string(commaPosition - 1, 'x') + ", 12:00:00 Universal Time";
}

// What a page leads to: false with the clock untouched, the clock set to 7:00 (the page's noon
// in this zone), or the run-time error with that number.
constexpr int kGivesFalse = -1;
constexpr int kSetsSeven = 0;

struct PageCase {
  const char* name;
  std::string body;
  int outcome;
};

void PrintTo(const PageCase& c, std::ostream* os) { *os << c.name; }

class PageTest : public DoAtomicTimeTest, public ::testing::WithParamInterface<PageCase> {};

TEST_P(PageTest, LeadsToItsOutcome) {
  platform.page.body = GetParam().body;
  if (GetParam().outcome == kGivesFalse) {
    ExpectFalseAndUntouched();
  } else if (GetParam().outcome == kSetsSeven) {
    EXPECT_TRUE(core.DoAtomicTime());
    EXPECT_EQ(platform.clockSets.at(0), DateTime::FromParts(2026, 12, 7, 7, 0, 0));
  } else {
    ExpectRuntimeError(GetParam().outcome);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pages, PageTest,
    ::testing::Values(
        PageCase{"NoMarker", "<html>Dec. 07, 12:00:00 UTC</html>", kGivesFalse},
        PageCase{"MarkerInOtherCapitalisation",
                 "Dec. 07, 12:00:00 universal time, 12:00:00 UNIVERSAL", kGivesFalse},
        PageCase{"CommasOnlyAfterTheMarker", "12:00:00 Universal Time, Dec. 07, 07:00:00 EST",
                 kGivesFalse},
        PageCase{"Empty", "", kGivesFalse},
        PageCase{"FirstMarkerAndLastCommaBeforeItCount",
                 "a, 01:00:00 b, 12:00:00 Universal, 03:00:00 Universal Time", kSetsSeven},
        PageCase{"SpacesAroundTheTimeAreRemoved", FakePlatform::TimePage("      12:00:00    "),
                 kSetsSeven},
        PageCase{"ADateWithTheTimeCountsOnlyForItsTime",
                 FakePlatform::TimePage(" 2001-05-05 12:00:00 "), kSetsSeven},
        PageCase{"MarkerFarIntoThePageWithAnEarlyComma",
                 "Dec. 07, 12:00:00 " + std::string(50000, ' ') + "Universal", kSetsSeven},
        PageCase{"CommaRightBeforeTheMarker", "Dec. 07,Universal Time", kErrTypeMismatch},
        PageCase{"OnlySpacesBetweenCommaAndMarker", "Dec. 07,    Universal Time", kErrTypeMismatch},
        PageCase{"ATabNextToTheTimeStays", FakePlatform::TimePage(" 12:00:00\t"), kErrTypeMismatch},
        PageCase{"TextThatIsNotATime", FakePlatform::TimePage(" 12:00:00 UTC "), kErrTypeMismatch},
        // The comma's position must fit in 16 bits, and one past it too, whatever the time.
        PageCase{"CommaAt32766", PageWithCommaAt(32766), kSetsSeven},
        PageCase{"CommaAt32767", PageWithCommaAt(32767), kErrOverflow},
        PageCase{"CommaAt32768", PageWithCommaAt(32768), kErrOverflow},
        PageCase{"CommaAt40000", PageWithCommaAt(40000), kErrOverflow}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DoAtomicTimeTest, ADateTimeThatLeavesTheDateRangeIsAnError) {
  platform.SetZone(60, 0, -60, 0, 0, 0, 0);
  platform.ServeTime(" 1/1/0100 00:30:00 ");
  ExpectRuntimeError(kErrInvalidCall);
}

TEST_F(DoAtomicTimeTest, RefusedClockChangeGivesFalseAndEmptyText) {
  platform.refuseClockChange = true;
  platform.ServeTime(" 12:00:00 ");
  EXPECT_FALSE(core.DoAtomicTime());
  EXPECT_EQ(platform.clockSets.size(), 1u);  // it was asked, and said no
  EXPECT_EQ(core.m_StrAtomicTime, "");
}

TEST_F(DoAtomicTimeTest, EveryCallDownloadsAgainAndEmptiesTheTextFirst) {
  platform.ServeTime(" 12:00:00 ");
  EXPECT_TRUE(core.DoAtomicTime());
  EXPECT_FALSE(core.m_StrAtomicTime.empty());

  platform.page.reachable = false;
  EXPECT_FALSE(core.DoAtomicTime());
  EXPECT_EQ(core.m_StrAtomicTime, "");
  EXPECT_EQ(platform.addressesOpened.size(), 2u);
}

TEST_F(DoAtomicTimeTest, TextIsEmptiedEvenWhenTheNextCallRaises) {
  platform.ServeTime(" 12:00:00 ");
  EXPECT_TRUE(core.DoAtomicTime());
  platform.ServeTime(" noon ");
  EXPECT_THAT([&] { core.DoAtomicTime(); }, test::ThrowsRuntimeError(kErrTypeMismatch));
  EXPECT_EQ(core.m_StrAtomicTime, "");
}

TEST_F(DoAtomicTimeTest, FetchesTheTimePageAddress) {
  platform.ServeTime(" 12:00:00 ");
  core.DoAtomicTime();
  // The host core_tests is built for (tests/core/CMakeLists.txt).
  EXPECT_EQ(platform.addressesOpened,
            std::vector<std::string>{"http://[2001:db8::7]:8123/cgi-bin/timer.pl"});
}

}  // namespace
}  // namespace tidewell
