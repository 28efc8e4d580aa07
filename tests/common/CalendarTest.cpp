#include <gtest/gtest.h>

#include <ostream>

#include "DateTime.h"
#include "ExpectRuntimeError.h"

namespace tidewell {
namespace {

TEST(Calendar, LeapYearsFollowTheGregorianRule) {
  struct Case {
    int year;
    bool leap;
  };
  for (const Case& c :
       {Case{2024, true}, Case{2026, false}, Case{1900, false}, Case{2000, true}, Case{2100, false},
        Case{2400, true}, Case{100, false}, Case{104, true}, Case{400, true}, Case{1899, false},
        Case{9996, true}, Case{9999, false}, Case{0, true}, Case{-4, true}, Case{-100, false}}) {
    EXPECT_EQ(IsLeapYear(c.year), c.leap) << c.year;
  }
}

TEST(Calendar, DaysInMonth) {
  struct Case {
    int year, month, days;
  };
  for (const Case& c : {Case{2026, 1, 31}, Case{2026, 2, 28}, Case{2024, 2, 29}, Case{1900, 2, 28},
                        Case{2000, 2, 29}, Case{2026, 3, 31}, Case{2026, 4, 30}, Case{2026, 5, 31},
                        Case{2026, 6, 30}, Case{2026, 7, 31}, Case{2026, 8, 31}, Case{2026, 9, 30},
                        Case{2026, 10, 31}, Case{2026, 11, 30}, Case{2026, 12, 31}}) {
    EXPECT_EQ(DaysInMonth(c.year, c.month), c.days) << c.year << "-" << c.month;
  }
  ExpectRuntimeError(kErrInvalidCall, [] { DaysInMonth(2026, 0); });
  ExpectRuntimeError(kErrInvalidCall, [] { DaysInMonth(2026, 13); });
}

TEST(Calendar, DayOfWeekOfKnownDates) {
  struct Case {
    int year, month, day, dayOfWeek;
  };
  for (const Case& c :
       {Case{1899, 12, 30, 6}, Case{1899, 12, 31, 0}, Case{1900, 1, 1, 1}, Case{1970, 1, 1, 4},
        Case{2000, 1, 1, 6}, Case{2024, 2, 29, 4}, Case{2026, 1, 1, 4}, Case{2026, 12, 7, 1},
        Case{1776, 7, 4, 4}, Case{1582, 10, 15, 5}, Case{100, 1, 1, 5}, Case{9999, 12, 31, 5}}) {
    EXPECT_EQ(DayOfWeek(c.year, c.month, c.day), c.dayOfWeek)
        << c.year << "-" << c.month << "-" << c.day;
  }
  ExpectRuntimeError(kErrInvalidCall, [] { DayOfWeek(2026, 2, 29); });
  ExpectRuntimeError(kErrInvalidCall, [] { DayOfWeek(2026, 13, 1); });
  ExpectRuntimeError(kErrInvalidCall, [] { DayOfWeek(2026, 1, 0); });
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

// For every month of three decades, each answer is the right weekday, in the month, and the
// occurrence asked for; "last" is the fourth or fifth as the month has them.
TEST(NthWeekday, AgreesWithItsDefinitionOverDecades) {
  for (int year = 2000; year <= 2030; ++year) {
    for (int month = 1; month <= 12; ++month) {
      const int length = DaysInMonth(year, month);
      for (int dayOfWeek = 0; dayOfWeek <= 6; ++dayOfWeek) {
        for (int occurrence = 1; occurrence <= 5; ++occurrence) {
          const int day = NthWeekdayOfMonth(year, month, dayOfWeek, occurrence);
          ASSERT_GE(day, 1);
          ASSERT_LE(day, length);
          ASSERT_EQ(DayOfWeek(year, month, day), dayOfWeek);
          if (occurrence < 5) {
            ASSERT_EQ((day - 1) / 7 + 1, occurrence) << year << "-" << month;
          } else {
            ASSERT_GT(day + 7, length) << year << "-" << month;
          }
        }
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
    ExpectRuntimeError(kErrInvalidCall,
                       [&] { NthWeekdayOfMonth(2026, c.month, c.dayOfWeek, c.occurrence); });
  }
}

}  // namespace
}  // namespace tidewell
