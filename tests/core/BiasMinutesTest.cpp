#include <gtest/gtest.h>

#include <limits>

#include "RuntimeError.h"
#include "ThrowsRuntimeError.h"
#include "TimeCore.h"

namespace tidewell {
namespace {

struct OffsetCase {
  const char* name;
  TimeZoneSettings zone;
  std::int16_t month;
  std::int16_t day;
  std::int32_t expected;
};

// Bias 300, daylight from 6 April to 26 October: the northern worked example.
constexpr TimeZoneSettings kNorthern{300, 0, -60, 10, 26, 4, 6};
// Bias -600, daylight from October to March across the turn of the year.
constexpr TimeZoneSettings kSouthern{-600, 0, -60, 3, 15, 10, 4};
// No daylight time, but a non-zero daylight bias that must be ignored.
constexpr TimeZoneSettings kNoDaylight{-540, 0, -60, 0, 0, 0, 0};
// Both transitions in the same month: daylight before the 20th, standard from it.
constexpr TimeZoneSettings kSameMonth{0, 0, -60, 5, 20, 5, 3};

void PrintTo(const OffsetCase& c, std::ostream* os) { *os << c.name; }

class OffsetRule : public ::testing::TestWithParam<OffsetCase> {};

TEST_P(OffsetRule, GivesTheBiasInForceThatDay) {
  const OffsetCase& c = GetParam();
  EXPECT_EQ(BiasMinutes(c.zone, c.month, c.day), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OffsetRule,
    ::testing::Values(
        OffsetCase{"March14BeforeDaylight", kNorthern, 3, 14, 300},
        OffsetCase{"April5DayBeforeDaylight", kNorthern, 4, 5, 300},
        OffsetCase{"April6DaylightDay", kNorthern, 4, 6, 240},
        OffsetCase{"July14Summer", kNorthern, 7, 14, 240},
        OffsetCase{"October25LastDaylightDay", kNorthern, 10, 25, 240},
        OffsetCase{"October26StandardDay", kNorthern, 10, 26, 300},
        OffsetCase{"December31Winter", kNorthern, 12, 31, 300},
        OffsetCase{"January1Winter", kNorthern, 1, 1, 300},
        OffsetCase{"SouthJanuaryDaylight", kSouthern, 1, 10, -660},
        OffsetCase{"SouthJuneStandard", kSouthern, 6, 1, -600},
        OffsetCase{"SouthMarchBeforeChange", kSouthern, 3, 14, -660},
        OffsetCase{"SouthMarchChangeDay", kSouthern, 3, 15, -600},
        OffsetCase{"SouthOctoberBeforeChange", kSouthern, 10, 3, -600},
        OffsetCase{"SouthOctoberChangeDay", kSouthern, 10, 4, -660},
        OffsetCase{"SouthDecember", kSouthern, 12, 25, -660},
        OffsetCase{"NoDaylightJanuary", kNoDaylight, 1, 1, -540},
        OffsetCase{"NoDaylightJuly", kNoDaylight, 7, 1, -540},
        OffsetCase{"SameMonthBeforeDaylightDayTestTwoDecides", kSameMonth, 5, 2, -60},
        OffsetCase{"SameMonthAfterStandardDay", kSameMonth, 5, 20, 0},
        // Outside the shared month, DM >= SM sends the decision to test five: daylight.
        OffsetCase{"SameMonthOtherMonthFallsToTestFive", kSameMonth, 8, 1, -60}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OffsetRuleTest, StandardBiasIsAddedOutsideDaylight) {
  const TimeZoneSettings zone{300, 15, -60, 10, 26, 4, 6};
  EXPECT_EQ(BiasMinutes(zone, 1, 1), 315);
  EXPECT_EQ(BiasMinutes(zone, 7, 1), 240);
}

TEST(OffsetRuleTest, SumOutsideThirtyTwoBitsIsAnOverflow) {
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  const TimeZoneSettings high{kMax, 1, 0, 0, 0, 0, 0};
  const TimeZoneSettings low{kMin, 0, -1, 10, 26, 4, 6};
  EXPECT_THAT([&] { BiasMinutes(high, 1, 1); }, test::ThrowsRuntimeError(kErrOverflow));
  EXPECT_THAT([&] { BiasMinutes(low, 7, 1); }, test::ThrowsRuntimeError(kErrOverflow));
  EXPECT_EQ(BiasMinutes(low, 1, 1), kMin);  // the standard side still fits
}

}  // namespace
}  // namespace tidewell
