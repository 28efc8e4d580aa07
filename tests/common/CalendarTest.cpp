#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <vector>

#include "DateTime.h"
#include "PlainCalendar.h"
#include "ThrowsRuntimeError.h"

namespace tidewell {
namespace {

using test::ThrowsRuntimeError;

// 29 February is a date only in leap years: within the supported years it is a value, outside
// them a date out of range, and in any other year no date at all. Years far beyond what a
// calendar type can hold still follow the rule.
TEST(Calendar, LeapYearsFollowTheGregorianRule) {
  struct Case {
    int year;
    bool leap;
  };
  for (const Case& c : {Case{2024, true},       Case{2026, false},       Case{1900, false},
                        Case{2000, true},       Case{2100, false},       Case{2400, true},
                        Case{100, false},       Case{104, true},         Case{400, true},
                        Case{1899, false},      Case{9996, true},        Case{9999, false},
                        Case{0, true},          Case{-4, true},          Case{-100, false},
                        Case{33000, false},     Case{1000000, true},     Case{1000100, false},
                        Case{2147483600, true}, Case{2147483647, false}, Case{-2147483600, true}}) {
    SCOPED_TRACE(c.year);
    const auto leapDay = [&] { return DateTime::FromParts(c.year, 2, 29); };
    if (!c.leap) {
      EXPECT_THAT(leapDay, ThrowsRuntimeError(kErrTypeMismatch));
    } else if (c.year < DateTime::kMinYear || c.year > DateTime::kMaxYear) {
      EXPECT_THAT(leapDay, ThrowsRuntimeError(kErrInvalidCall));
    } else {
      const DateTime value = leapDay();
      EXPECT_EQ(value.Month(), 2);
      EXPECT_EQ(value.Day(), 29);
    }
  }
}

// The last day of each month is a date and the day after it is none.
TEST(Calendar, MonthLengths) {
  struct Case {
    int year, month, days;
  };
  for (const Case& c : {Case{2026, 1, 31}, Case{2026, 2, 28}, Case{2024, 2, 29}, Case{1900, 2, 28},
                        Case{2000, 2, 29}, Case{2026, 3, 31}, Case{2026, 4, 30}, Case{2026, 5, 31},
                        Case{2026, 6, 30}, Case{2026, 7, 31}, Case{2026, 8, 31}, Case{2026, 9, 30},
                        Case{2026, 10, 31}, Case{2026, 11, 30}, Case{2026, 12, 31}}) {
    SCOPED_TRACE(testing::Message() << c.year << "-" << c.month);
    EXPECT_EQ(DateTime::FromParts(c.year, c.month, c.days).Day(), c.days);
    EXPECT_THAT([&] { DateTime::FromParts(c.year, c.month, c.days + 1); },
                ThrowsRuntimeError(kErrTypeMismatch));
  }
}

// Each known date is the occurrence of its weekday that its day of the month makes it.
TEST(Calendar, KnownDatesFallOnTheirWeekdays) {
  struct Case {
    int year, month, day, dayOfWeek;
  };
  for (const Case& c :
       {Case{1899, 12, 30, 6}, Case{1899, 12, 31, 0}, Case{1900, 1, 1, 1}, Case{1970, 1, 1, 4},
        Case{2000, 1, 1, 6}, Case{2024, 2, 29, 4}, Case{2026, 1, 1, 4}, Case{2026, 12, 7, 1},
        Case{1776, 7, 4, 4}, Case{1582, 10, 15, 5}, Case{100, 1, 1, 5}, Case{9999, 12, 31, 5}}) {
    EXPECT_EQ(NthWeekdayOfMonth(c.year, c.month, c.dayOfWeek, (c.day - 1) / 7 + 1), c.day)
        << c.year << "-" << c.month << "-" << c.day;
  }
}

struct WeekdayRule {
  int year, month, dayOfWeek, occurrence, expectedDay;
};

void PrintTo(const WeekdayRule& c, std::ostream* out) {
  *out << c.year << "-" << c.month << " weekday " << c.dayOfWeek << " #" << c.occurrence;
}

class NthWeekday : public testing::TestWithParam<WeekdayRule> {};

TEST_P(NthWeekday, FallsOnTheKnownDay) {
  const WeekdayRule& c = GetParam();
  EXPECT_EQ(NthWeekdayOfMonth(c.year, c.month, c.dayOfWeek, c.occurrence), c.expectedDay);
}

constexpr int kSunday = 0;
constexpr int kTuesday = 2;
constexpr int kThursday = 4;
constexpr int kSaturday = 6;

INSTANTIATE_TEST_SUITE_P(
    DaylightSavingDates, NthWeekday,
    testing::Values(
        // United States: second Sunday of March, first Sunday of November.
        WeekdayRule{2026, 3, kSunday, 2, 8}, WeekdayRule{2026, 11, kSunday, 1, 1},
        // European Union: last Sunday of March and of October.
        WeekdayRule{2026, 3, kSunday, 5, 29}, WeekdayRule{2026, 10, kSunday, 5, 25},
        WeekdayRule{2024, 3, kSunday, 5, 31},
        // Southern hemisphere: first Sunday of April and of October.
        WeekdayRule{2026, 4, kSunday, 1, 5}, WeekdayRule{2026, 10, kSunday, 1, 4}));

INSTANTIATE_TEST_SUITE_P(
    Occurrences, NthWeekday,
    testing::Values(
        // March 2026 starts on a Sunday: five Sundays, and its Saturdays start on the 7th.
        WeekdayRule{2026, 3, kSunday, 1, 1}, WeekdayRule{2026, 3, kSunday, 3, 15},
        WeekdayRule{2026, 3, kSunday, 4, 22}, WeekdayRule{2026, 3, kSaturday, 1, 7},
        WeekdayRule{2026, 3, kSaturday, 4, 28}, WeekdayRule{2026, 3, kSaturday, 5, 28},
        // February 2026 holds exactly four of every weekday: the last is the fourth.
        WeekdayRule{2026, 2, kSunday, 4, 22}, WeekdayRule{2026, 2, kSunday, 5, 22},
        WeekdayRule{2026, 2, kSaturday, 5, 28},
        // Leap Februaries: 2024 starts on a Thursday and has five of them, 2028 starts on a
        // Tuesday, so its fifth Tuesday is the 29th and its last Thursday the 24th.
        WeekdayRule{2024, 2, kThursday, 5, 29}, WeekdayRule{2028, 2, kThursday, 5, 24},
        WeekdayRule{2028, 2, kTuesday, 5, 29}));

INSTANTIATE_TEST_SUITE_P(
    FarYears, NthWeekday,
    testing::Values(
        // The calendar repeats every 400 years, so each of these Marches falls as March 2026
        // does; the last two lie beyond the years that std::chrono::year can hold.
        WeekdayRule{2426, 3, kSunday, 2, 8}, WeekdayRule{-1574, 3, kSunday, 2, 8},
        WeekdayRule{65226, 3, kSunday, 5, 29}, WeekdayRule{2000002026, 3, kSaturday, 1, 7}));

// For every month of three decades, each answer is the day that a plain calendar walked day by
// day gives: the occurrence asked for, and for "the last" the fourth or fifth as the month has.
TEST(NthWeekday, AgreesWithAPlainCalendarOverDecades) {
  plain::Day walk{2000, 1, 1, 6};  // 2000-01-01 was a Saturday
  while (walk.year <= 2030) {
    const int year = walk.year, month = walk.month;
    std::array<std::vector<int>, 7> daysOfWeekday;
    for (; walk.year == year && walk.month == month; walk.Next()) {
      daysOfWeekday[walk.weekday].push_back(walk.day);
    }
    for (int dayOfWeek = 0; dayOfWeek <= 6; ++dayOfWeek) {
      const std::vector<int>& days = daysOfWeekday[dayOfWeek];
      ASSERT_GE(days.size(), 4u);
      for (int occurrence = 1; occurrence <= 5; ++occurrence) {
        const int expected = occurrence < 5 ? days[occurrence - 1] : days.back();
        ASSERT_EQ(NthWeekdayOfMonth(year, month, dayOfWeek, occurrence), expected)
            << year << "-" << month << " weekday " << dayOfWeek << " #" << occurrence;
      }
    }
  }
}

TEST(NthWeekday, RefusesRulesThatNameNoDay) {
  struct Case {
    int month, dayOfWeek, occurrence;
  };
  for (const Case& c : {Case{0, 0, 1}, Case{13, 0, 1}, Case{3, -1, 1}, Case{3, 7, 1}, Case{3, 0, 0},
                        Case{3, 0, 6}, Case{3, 0, -1}}) {
    SCOPED_TRACE(testing::Message() << c.month << " " << c.dayOfWeek << " " << c.occurrence);
    EXPECT_THAT([&] { NthWeekdayOfMonth(2026, c.month, c.dayOfWeek, c.occurrence); },
                ThrowsRuntimeError(kErrInvalidCall));
  }
}

}  // namespace
}  // namespace tidewell
