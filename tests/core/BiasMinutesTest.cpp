#include <gtest/gtest.h>

#include <limits>

#include "DateTime.h"
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

// Zones as the Linux platform reads them, with the moments of their changes: the clock's reading
// just before each change, in seconds after midnight of that day.
constexpr TimeZoneSettings kBerlin2025{-60, 0, -60, 10, 26, 3, 30, 3 * 3600, 2 * 3600};
constexpr TimeZoneSettings kNewYork2025{300, 0, -60, 11, 2, 3, 9, 2 * 3600, 2 * 3600};
constexpr TimeZoneSettings kSydney2025{-600, 0, -60, 4, 6, 10, 5, 3 * 3600, 2 * 3600};
// Santiago changes at midnight: back to standard at the very end of Saturday 4 April (shown as
// 23:00 of that day), forward to daylight at the very start of Sunday 6 September.
constexpr TimeZoneSettings kSantiago2026{240, 0, -60, 4, 4, 9, 6, 86400, 0};

// The offsets in force, in minutes west of UTC.
constexpr std::int32_t kBerlinWinter = -60, kBerlinSummer = -120;
constexpr std::int32_t kNewYorkStandard = 300, kNewYorkDaylight = 240;
constexpr std::int32_t kSydneyStandard = -600, kSydneyDaylight = -660;
constexpr std::int32_t kSantiagoWinter = 240, kSantiagoSummer = 180;
constexpr std::int32_t kNorthernStandard = 300, kNorthernDaylight = 240;
constexpr std::int32_t kNoDaylightBias = -540;

struct InstantCase {
  const char* name;
  TimeZoneSettings zone;
  DateTime clock;      // the local clock when the page is read
  DateTime universal;  // the page's Universal time of day
  std::int32_t expected;
};

void PrintTo(const InstantCase& c, std::ostream* os) { *os << c.name; }

DateTime Clock(int year, int month, int day, int hour, int minute, int second = 0) {
  return DateTime::FromParts(year, month, day, hour, minute, second);
}

DateTime Page(int hour, int minute, int second = 0) {
  return DateTime::TimeOfDay(hour, minute, second);
}

class OffsetAtThePagesInstant : public ::testing::TestWithParam<InstantCase> {};

TEST_P(OffsetAtThePagesInstant, DecidesTheDayOfAChangeByTheMoment) {
  const InstantCase& c = GetParam();
  EXPECT_EQ(BiasMinutesAt(c.zone, c.clock, c.universal), c.expected);
}

const InstantCase kInstants[] = {
    // Berlin goes from 02:00 CET to 03:00 CEST (01:00 UTC) on 30 March.
    {"BerlinHalfPastMidnightOnTheDaylightDay", kBerlin2025,
     Clock(2025, 3, 30, 0, 30, 0), Page(23, 30, 0), kBerlinWinter},
    {"BerlinLastSecondOfWinterTime", kBerlin2025,
     Clock(2025, 3, 30, 1, 59, 59), Page(0, 59, 59), kBerlinWinter},
    {"BerlinFirstSecondOfSummerTime", kBerlin2025,
     Clock(2025, 3, 30, 3, 0, 0), Page(1, 0, 0), kBerlinSummer},
    {"BerlinNoonOnTheDaylightDay", kBerlin2025,
     Clock(2025, 3, 30, 12, 0, 0), Page(10, 0, 0), kBerlinSummer},
    // Berlin goes back from 03:00 CEST to 02:00 CET (01:00 UTC) on 26 October: 02:30 shows
    // twice, and only the page's instant tells which.
    {"BerlinHalfPastMidnightOnTheStandardDay", kBerlin2025,
     Clock(2025, 10, 26, 0, 30, 0), Page(22, 30, 0), kBerlinSummer},
    {"BerlinRepeatedHourFirstShowing", kBerlin2025,
     Clock(2025, 10, 26, 2, 30, 0), Page(0, 30, 0), kBerlinSummer},
    {"BerlinRepeatedHourSecondShowing", kBerlin2025,
     Clock(2025, 10, 26, 2, 30, 0), Page(1, 30, 0), kBerlinWinter},
    {"BerlinLastSecondOfSummerTime", kBerlin2025,
     Clock(2025, 10, 26, 2, 59, 59), Page(0, 59, 59), kBerlinSummer},
    {"BerlinFirstSecondOfWinterTime", kBerlin2025,
     Clock(2025, 10, 26, 2, 0, 0), Page(1, 0, 0), kBerlinWinter},
    {"BerlinLateOnTheStandardDay", kBerlin2025,
     Clock(2025, 10, 26, 23, 59, 0), Page(22, 59, 0), kBerlinWinter},
    {"BerlinOrdinarySummerDay", kBerlin2025,
     Clock(2025, 7, 14, 12, 0, 0), Page(10, 0, 0), kBerlinSummer},
    {"BerlinDayBeforeTheChange", kBerlin2025,
     Clock(2025, 3, 29, 23, 59, 0), Page(22, 59, 0), kBerlinWinter},
    // New York goes back from 02:00 EDT to 01:00 EST (06:00 UTC) on 2 November.
    {"NewYorkBeforeTheRepeatedHour", kNewYork2025,
     Clock(2025, 11, 2, 0, 40, 0), Page(4, 40, 0), kNewYorkDaylight},
    {"NewYorkRepeatedHourFirstShowing", kNewYork2025,
     Clock(2025, 11, 2, 1, 30, 0), Page(5, 30, 0), kNewYorkDaylight},
    {"NewYorkRepeatedHourSecondShowing", kNewYork2025,
     Clock(2025, 11, 2, 1, 30, 0), Page(6, 30, 0), kNewYorkStandard},
    {"NewYorkAfternoonOnTheStandardDay", kNewYork2025,
     Clock(2025, 11, 2, 12, 0, 0), Page(17, 0, 0), kNewYorkStandard},
    // New York goes from 02:00 EST to 03:00 EDT (07:00 UTC) on 9 March.
    {"NewYorkLastSecondOfWinterTime", kNewYork2025,
     Clock(2025, 3, 9, 1, 59, 59), Page(6, 59, 59), kNewYorkStandard},
    {"NewYorkFirstSecondOfSummerTime", kNewYork2025,
     Clock(2025, 3, 9, 3, 0, 0), Page(7, 0, 0), kNewYorkDaylight},
    // Sydney goes back from 03:00 AEDT to 02:00 AEST on 6 April (16:00 UTC on the 5th), and
    // forward from 02:00 AEST to 03:00 AEDT on 5 October (16:00 UTC on the 4th).
    {"SydneyOneOClockOnTheStandardDay", kSydney2025,
     Clock(2025, 4, 6, 1, 0, 0), Page(14, 0, 0), kSydneyDaylight},
    {"SydneyRepeatedHourFirstShowing", kSydney2025,
     Clock(2025, 4, 6, 2, 30, 0), Page(15, 30, 0), kSydneyDaylight},
    {"SydneyRepeatedHourSecondShowing", kSydney2025,
     Clock(2025, 4, 6, 2, 30, 0), Page(16, 30, 0), kSydneyStandard},
    {"SydneyHalfPastMidnightOnTheDaylightDay", kSydney2025,
     Clock(2025, 10, 5, 0, 30, 0), Page(14, 30, 0), kSydneyStandard},
    {"SydneyLastSecondOfWinterTime", kSydney2025,
     Clock(2025, 10, 5, 1, 59, 59), Page(15, 59, 59), kSydneyStandard},
    {"SydneyFirstSecondOfSummerTime", kSydney2025,
     Clock(2025, 10, 5, 3, 0, 0), Page(16, 0, 0), kSydneyDaylight},
    // Santiago: the whole Saturday on which summer time ends is still summer time, up to the
    // repeated hour before midnight.
    {"SantiagoNoonOnTheStandardDay", kSantiago2026,
     Clock(2026, 4, 4, 12, 0, 0), Page(15, 0, 0), kSantiagoSummer},
    {"SantiagoLastSecondOfSummerTime", kSantiago2026,
     Clock(2026, 4, 4, 23, 59, 59), Page(2, 59, 59), kSantiagoSummer},
    {"SantiagoRepeatedHourSecondShowing", kSantiago2026,
     Clock(2026, 4, 4, 23, 0, 0), Page(3, 0, 0), kSantiagoWinter},
    {"SantiagoFirstReadingOfSummerTime", kSantiago2026,
     Clock(2026, 9, 6, 1, 0, 0), Page(4, 0, 0), kSantiagoSummer},
    // A clock a few seconds fast shows the new day before the page's instant reaches it.
    {"SantiagoFastClockBeforeTheChange", kSantiago2026,
     Clock(2026, 9, 6, 0, 0, 5), Page(3, 59, 59), kSantiagoWinter},
    // Changes at local midnight (the fake zones' default) keep the whole-day decision.
    {"MidnightChangeToDaylightCountsAllDay", kNorthern,
     Clock(2026, 4, 6, 1, 0, 1), Page(5, 0, 1), kNorthernDaylight},
    {"MidnightChangeToStandardCountsAllDay", kNorthern,
     Clock(2026, 10, 26, 0, 0, 1), Page(5, 0, 1), kNorthernStandard},
    {"NoDaylightZone", kNoDaylight,
     Clock(2026, 1, 1, 12, 0, 0), Page(3, 0, 0), kNoDaylightBias},
};

INSTANTIATE_TEST_SUITE_P(Cases, OffsetAtThePagesInstant, ::testing::ValuesIn(kInstants),
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
