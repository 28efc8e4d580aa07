// Turning the transition rules of a Windows zone into the calendar days of one year. Built
// natively and into the Windows test program alike.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "ZoneRules.h"

namespace tidewell {
namespace {

constexpr std::uint16_t kSunday = 0;
constexpr std::uint16_t kLast = 5;

TransitionRule Yearly(std::uint16_t month, std::uint16_t dayOfWeek, std::uint16_t occurrence) {
  return {0, month, dayOfWeek, occurrence};
}

struct TransitionCase {
  std::string name;
  TransitionRule rule;
  int year;
  std::int16_t month;
  std::int16_t day;
};

std::ostream& operator<<(std::ostream& out, const TransitionCase& c) { return out << c.name; }

class TransitionDayTest : public ::testing::TestWithParam<TransitionCase> {};

TEST_P(TransitionDayTest, FallsOnTheCalendarDayOfThatYear) {
  const TransitionCase& c = GetParam();
  const MonthDay day = TransitionDay(c.rule, c.year);
  EXPECT_EQ(day.Month, c.month);
  EXPECT_EQ(day.Day, c.day);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, TransitionDayTest,
    ::testing::Values(
        // United States: daylight from the second Sunday of March to the first of November.
        TransitionCase{"UsDaylight2026", Yearly(3, kSunday, 2), 2026, 3, 8},
        TransitionCase{"UsStandard2026", Yearly(11, kSunday, 1), 2026, 11, 1},
        TransitionCase{"UsDaylight2027", Yearly(3, kSunday, 2), 2027, 3, 14},
        TransitionCase{"UsStandard2027", Yearly(11, kSunday, 1), 2027, 11, 7},
        // European Union: the last Sunday of March and of October.
        TransitionCase{"EuDaylight2026", Yearly(3, kSunday, kLast), 2026, 3, 29},
        TransitionCase{"EuStandard2026", Yearly(10, kSunday, kLast), 2026, 10, 25},
        TransitionCase{"EuDaylight2025", Yearly(3, kSunday, kLast), 2025, 3, 30},
        TransitionCase{"EuStandard2025", Yearly(10, kSunday, kLast), 2025, 10, 26},
        // South-eastern Australia: standard from the first Sunday of April, daylight from the
        // first Sunday of October.
        TransitionCase{"AustraliaStandard2026", Yearly(4, kSunday, 1), 2026, 4, 5},
        TransitionCase{"AustraliaDaylight2026", Yearly(10, kSunday, 1), 2026, 10, 4},
        // "The fifth" in a month with only four such weekdays is the fourth.
        TransitionCase{"FifthSundayOfFebruary2026IsTheFourth", Yearly(2, kSunday, kLast), 2026, 2,
                       22},
        TransitionCase{"FifthSundayOfMarch2026", Yearly(3, kSunday, kLast), 2026, 3, 29},
        TransitionCase{"FourthFridayOfSeptember2026", Yearly(9, 5, 4), 2026, 9, 25},
        TransitionCase{"LastThursdayOfFebruaryLeapYear", Yearly(2, 4, kLast), 2024, 2, 29},
        // An absolute date names its day outright, whatever the weekday field holds and
        // whichever year is asked for.
        TransitionCase{"AbsoluteDate", {2026, 10, 3, 27}, 2026, 10, 27},
        TransitionCase{"AbsoluteDateOfAnotherYear", {2007, 4, 0, 1}, 2026, 4, 1},
        // No transition, and rules no calendar can hold.
        TransitionCase{"MonthZeroIsNoTransition", {0, 0, 0, 0}, 2026, 0, 0},
        TransitionCase{"MonthZeroWithOtherFieldsSet", Yearly(0, kSunday, 1), 2026, 0, 0},
        TransitionCase{"MonthThirteen", Yearly(13, kSunday, 1), 2026, 0, 0},
        TransitionCase{"WeekdayAboveSaturday", Yearly(3, 7, 1), 2026, 0, 0},
        TransitionCase{"OccurrenceZero", Yearly(3, kSunday, 0), 2026, 0, 0},
        TransitionCase{"OccurrenceSix", Yearly(3, kSunday, 6), 2026, 0, 0},
        TransitionCase{"AbsoluteDateInMonthThirteen", {2026, 13, 0, 1}, 2026, 0, 0}),
    [](const ::testing::TestParamInfo<TransitionCase>& info) { return info.param.name; });

TransitionRule At(TransitionRule rule, std::uint16_t hour, std::uint16_t minute = 0,
                  std::uint16_t second = 0, std::uint16_t milliseconds = 0) {
  rule.wHour = hour;
  rule.wMinute = minute;
  rule.wSecond = second;
  rule.wMilliseconds = milliseconds;
  return rule;
}

struct ChangeSecondCase {
  std::string name;
  TransitionRule rule;
  std::int32_t expected;
};

std::ostream& operator<<(std::ostream& out, const ChangeSecondCase& c) { return out << c.name; }

class ChangeSecondTest : public ::testing::TestWithParam<ChangeSecondCase> {};

TEST_P(ChangeSecondTest, CountsWholeSecondsFromMidnight) {
  EXPECT_EQ(ChangeSecondOfDay(GetParam().rule), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Times, ChangeSecondTest,
    ::testing::Values(ChangeSecondCase{"Midnight", At(Yearly(3, kSunday, 2), 0), 0},
                      ChangeSecondCase{"TwoOClock", At(Yearly(3, kSunday, 2), 2), 7200},
                      ChangeSecondCase{"ThreeOClock", At(Yearly(10, kSunday, kLast), 3), 10800},
                      ChangeSecondCase{"MinutesAndSeconds", At(Yearly(4, kSunday, 1), 1, 30, 15),
                                       5415},
                      // A part of a second counts as the whole second it starts.
                      ChangeSecondCase{"OneMillisecond", At(Yearly(4, kSunday, 1), 0, 0, 0, 1), 1},
                      // Chile's changes, written as the last moment of Saturday.
                      ChangeSecondCase{"EndOfTheDay", At(Yearly(4, 6, 1), 23, 59, 59, 999), 86400}),
    [](const ::testing::TestParamInfo<ChangeSecondCase>& info) { return info.param.name; });

ZoneInformation UsEastern() {
  return {300, 0, -60, At(Yearly(11, kSunday, 1), 2), At(Yearly(3, kSunday, 2), 2)};
}

TEST(ZoneSettingsForYearTest, CarriesTheBiasesAndBothTransitionDays) {
  const TimeZoneSettings settings = ZoneSettingsForYear(UsEastern(), 2026);
  TimeZoneSettings expected;
  expected.Bias = 300;
  expected.StandardBias = 0;
  expected.DaylightBias = -60;
  expected.StandardMonth = 11;
  expected.StandardDay = 1;
  expected.DaylightMonth = 3;
  expected.DaylightDay = 8;
  expected.StandardChangeSecond = 7200;
  expected.DaylightChangeSecond = 7200;
  EXPECT_EQ(settings, expected);
}

TEST(ZoneSettingsForYearTest, PlacesTheRulesInTheYearAskedFor) {
  const TimeZoneSettings settings = ZoneSettingsForYear(UsEastern(), 2027);
  EXPECT_EQ(settings.StandardDay, 7);
  EXPECT_EQ(settings.DaylightDay, 14);
}

TEST(ZoneSettingsForYearTest, SouthernZoneKeepsItsOrder) {
  const ZoneInformation sydney{-600, 0, -60, Yearly(4, kSunday, 1), Yearly(10, kSunday, 1)};
  const TimeZoneSettings settings = ZoneSettingsForYear(sydney, 2026);
  EXPECT_EQ(settings.Bias, -600);
  EXPECT_EQ(settings.StandardMonth, 4);
  EXPECT_EQ(settings.StandardDay, 5);
  EXPECT_EQ(settings.DaylightMonth, 10);
  EXPECT_EQ(settings.DaylightDay, 4);
}

// Pacific SA Standard Time: both changes at 23:59:59.999 of the first Saturday of April and of
// September, which on the clock is the end of that Saturday.
TEST(ZoneSettingsForYearTest, ChileChangesAtTheEndOfSaturday) {
  const ZoneInformation santiago{240, 0, -60, At(Yearly(4, 6, 1), 23, 59, 59, 999),
                                 At(Yearly(9, 6, 1), 23, 59, 59, 999)};
  const TimeZoneSettings settings = ZoneSettingsForYear(santiago, 2026);
  EXPECT_EQ(settings.StandardDay, 4);
  EXPECT_EQ(settings.StandardChangeSecond, 86400);
  EXPECT_EQ(settings.DaylightDay, 5);
  EXPECT_EQ(settings.DaylightChangeSecond, 86400);
}

TEST(ZoneSettingsForYearTest, ZoneWithoutDaylightTimeHasMonthZero) {
  // Tokyo: no transitions, and a daylight bias that must not matter.
  const ZoneInformation tokyo{-540, 0, -60, {}, {}};
  const TimeZoneSettings settings = ZoneSettingsForYear(tokyo, 2026);
  EXPECT_EQ(settings.Bias, -540);
  EXPECT_EQ(settings.DaylightBias, -60);
  EXPECT_EQ(settings.StandardMonth, 0);
  EXPECT_EQ(settings.DaylightMonth, 0);
}

TEST(ZoneSettingsForYearTest, HalfARuleCountsAsNoDaylightTime) {
  ZoneInformation onlyStandard = UsEastern();
  onlyStandard.DaylightDate = {};
  EXPECT_EQ(ZoneSettingsForYear(onlyStandard, 2026).StandardMonth, 0);
  EXPECT_EQ(ZoneSettingsForYear(onlyStandard, 2026).DaylightMonth, 0);

  ZoneInformation brokenDaylight = UsEastern();
  brokenDaylight.DaylightDate.wDayOfWeek = 9;
  EXPECT_EQ(ZoneSettingsForYear(brokenDaylight, 2026).StandardMonth, 0);
  EXPECT_EQ(ZoneSettingsForYear(brokenDaylight, 2026).DaylightMonth, 0);
}

TEST(ZoneSettingsForYearTest, AbsoluteDatesPassThrough) {
  const ZoneInformation fixedYear{-120, 0, -60, {2026, 10, 0, 27}, {2026, 3, 0, 30}};
  const TimeZoneSettings settings = ZoneSettingsForYear(fixedYear, 2026);
  EXPECT_EQ(settings.StandardMonth, 10);
  EXPECT_EQ(settings.StandardDay, 27);
  EXPECT_EQ(settings.DaylightMonth, 3);
  EXPECT_EQ(settings.DaylightDay, 30);
}

}  // namespace
}  // namespace tidewell
