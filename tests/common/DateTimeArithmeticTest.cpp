#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>

#include "DateTime.h"
#include "Moment.h"
#include "PlainCalendar.h"
#include "ThrowsRuntimeError.h"

namespace tidewell {
namespace {

using test::ThrowsRuntimeError;

constexpr std::int64_t kDay = DateTime::kSecondsPerDay;
// Day numbers of the range ends, as every OLE-style date count has them.
constexpr std::int64_t kFirstDay = -657434;  // 0100-01-01
constexpr std::int64_t kLastDay = 2958465;   // 9999-12-31
constexpr std::int64_t kMinSerial = kFirstDay * kDay;
constexpr std::int64_t kMaxSerial = kLastDay * kDay + kDay - 1;

// ---- Serial numbers and parts -------------------------------------------------------------

struct KnownDay {
  int year, month, day;
  std::int64_t dayNumber;
};

void PrintTo(const KnownDay& c, std::ostream* out) {
  *out << c.year << "-" << c.month << "-" << c.day;
}

class KnownDayNumbers : public testing::TestWithParam<KnownDay> {};

TEST_P(KnownDayNumbers, MatchTheDateCount) {
  const KnownDay& c = GetParam();
  const DateTime value = DateTime::FromParts(c.year, c.month, c.day, 6, 30, 0);
  EXPECT_EQ(value.DayNumber(), c.dayNumber);
  EXPECT_EQ(value.SerialSeconds(), c.dayNumber * kDay + 6 * 3600 + 30 * 60);
  const DateTime back = DateTime::FromSerialSeconds(c.dayNumber * kDay);
  EXPECT_EQ(back.Year(), c.year);
  EXPECT_EQ(back.Month(), c.month);
  EXPECT_EQ(back.Day(), c.day);
}

INSTANTIATE_TEST_SUITE_P(Anchors, KnownDayNumbers,
                         testing::Values(KnownDay{1899, 12, 30, 0}, KnownDay{1899, 12, 29, -1},
                                         KnownDay{1899, 12, 31, 1}, KnownDay{1900, 1, 1, 2},
                                         KnownDay{1900, 3, 1, 61},  // 1900 has no 29 February
                                         KnownDay{1970, 1, 1, 25569}, KnownDay{2000, 1, 1, 36526},
                                         KnownDay{2000, 3, 1, 36586},
                                         KnownDay{100, 1, 1, kFirstDay},
                                         KnownDay{9999, 12, 31, kLastDay}));

TEST(DateTimeValue, DefaultIsMidnightOfTheZeroDate) {
  const DateTime zero;
  EXPECT_EQ(zero.SerialSeconds(), 0);
  ExpectMoment(zero, {1899, 12, 30, 0, 0, 0});
  EXPECT_EQ(zero, DateTime::TimeOfDay(0, 0, 0));
}

TEST(DateTimeValue, RangeEndsRoundTrip) {
  const DateTime first = DateTime::FromParts(100, 1, 1);
  const DateTime last = DateTime::FromParts(9999, 12, 31, 23, 59, 59);
  EXPECT_EQ(first.SerialSeconds(), kMinSerial);
  EXPECT_EQ(last.SerialSeconds(), kMaxSerial);
  ExpectMoment(DateTime::FromSerialSeconds(kMinSerial), {100, 1, 1, 0, 0, 0});
  ExpectMoment(DateTime::FromSerialSeconds(kMaxSerial), {9999, 12, 31, 23, 59, 59});
}

TEST(DateTimeValue, SerialSecondsOutsideTheRangeAreRefused) {
  for (const std::int64_t seconds :
       {kMinSerial - 1, kMaxSerial + 1, std::numeric_limits<std::int64_t>::min(),
        std::numeric_limits<std::int64_t>::max()}) {
    SCOPED_TRACE(seconds);
    EXPECT_THAT([&] { DateTime::FromSerialSeconds(seconds); }, ThrowsRuntimeError(kErrInvalidCall));
  }
}

// Before the zero date the day is counted down (floor) while the time of day still runs forward.
TEST(DateTimeValue, DaysBeforeTheZeroDateCountByFloor) {
  struct Case {
    std::int64_t serial, dayNumber;
    int secondOfDay;
  };
  for (const Case& c : {Case{0, 0, 0}, Case{86399, 0, 86399}, Case{86400, 1, 0},
                        Case{-1, -1, 86399}, Case{-1800, -1, 84600}, Case{-86400, -1, 0},
                        Case{-86401, -2, 86399}, Case{kMinSerial, kFirstDay, 0}}) {
    SCOPED_TRACE(c.serial);
    const DateTime value = DateTime::FromSerialSeconds(c.serial);
    EXPECT_EQ(value.DayNumber(), c.dayNumber);
    EXPECT_EQ(value.SecondOfDay(), c.secondOfDay);
  }
  ExpectMoment(DateTime::FromSerialSeconds(-1), {1899, 12, 29, 23, 59, 59});
}

TEST(DateTimeValue, TimeOnlyKeepsTheTimeOnTheZeroDate) {
  EXPECT_EQ(DateTime::FromParts(2026, 12, 7, 13, 45, 10).TimeOnly(),
            DateTime::TimeOfDay(13, 45, 10));
  EXPECT_EQ(DateTime::FromParts(1066, 10, 14, 9, 0, 1).TimeOnly().SerialSeconds(), 32401);
  EXPECT_EQ(DateTime::FromSerialSeconds(-1).TimeOnly().SerialSeconds(), 86399);
}

// Walks every day of the supported range with a plain day-by-day calendar and checks that the
// serial count, the parts read back and the weekday agree with it.
TEST(DateTimeValue, EveryDayOfTheRangeRoundTrips) {
  plain::Day walk{100, 1, 1, 5};  // 0100-01-01 was a Friday in the Gregorian reckoning
  for (std::int64_t dayNumber = kFirstDay; dayNumber <= kLastDay; ++dayNumber, walk.Next()) {
    const auto [year, month, day, weekday] = walk;
    const DateTime value = DateTime::FromParts(year, month, day);
    const DateTime back = DateTime::FromSerialSeconds(dayNumber * kDay + kDay - 1);
    const int dayOfItsWeekday = NthWeekdayOfMonth(year, month, weekday, (day - 1) / 7 + 1);
    if (value.DayNumber() != dayNumber || back.Year() != year || back.Month() != month ||
        back.Day() != day || dayOfItsWeekday != day) {
      FAIL() << "disagreement at " << year << "-" << month << "-" << day << ": day number "
             << value.DayNumber() << " instead of " << dayNumber << ", read back as " << back.Year()
             << "-" << back.Month() << "-" << back.Day() << ", weekday " << weekday
             << " falls on day " << dayOfItsWeekday;
    }
  }
  EXPECT_EQ(walk.year, 10000);
}

TEST(DateTimeValue, FromPartsRefusesDatesAndTimesThatDoNotExist) {
  struct Case {
    int year, month, day, hour, minute, second;
  };
  for (const Case& c :
       {Case{2026, 0, 1, 0, 0, 0}, Case{2026, 13, 1, 0, 0, 0}, Case{2026, 1, 0, 0, 0, 0},
        Case{2026, 1, 32, 0, 0, 0}, Case{2026, 2, 29, 0, 0, 0}, Case{1900, 2, 29, 0, 0, 0},
        Case{2026, 6, 31, 0, 0, 0}, Case{2026, 1, 1, 24, 0, 0}, Case{2026, 1, 1, -1, 0, 0},
        Case{2026, 1, 1, 0, 60, 0}, Case{2026, 1, 1, 0, -1, 0}, Case{2026, 1, 1, 0, 0, 60},
        Case{2026, 1, 1, 0, 0, -1},
        // Not a date in any year, so a mismatch rather than a range error.
        Case{99, 2, 29, 0, 0, 0}, Case{10000, 13, 1, 0, 0, 0}}) {
    SCOPED_TRACE(testing::Message() << c.year << "-" << c.month << "-" << c.day << " " << c.hour
                                    << ":" << c.minute << ":" << c.second);
    EXPECT_THAT([&] { DateTime::FromParts(c.year, c.month, c.day, c.hour, c.minute, c.second); },
                ThrowsRuntimeError(kErrTypeMismatch));
  }
}

TEST(DateTimeValue, FromPartsRefusesYearsOutsideTheRange) {
  for (const int year :
       {99, 0, -1, 10000, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()}) {
    SCOPED_TRACE(year);
    EXPECT_THAT([&] { DateTime::FromParts(year, 1, 1); }, ThrowsRuntimeError(kErrInvalidCall));
  }
}

TEST(DateTimeValue, TimeOfDayRefusesImpossibleTimes) {
  EXPECT_EQ(DateTime::TimeOfDay(23, 59, 59).SerialSeconds(), 86399);
  EXPECT_THAT([] { DateTime::TimeOfDay(24, 0, 0); }, ThrowsRuntimeError(kErrTypeMismatch));
  EXPECT_THAT([] { DateTime::TimeOfDay(12, 60, 0); }, ThrowsRuntimeError(kErrTypeMismatch));
  EXPECT_THAT([] { DateTime::TimeOfDay(12, 0, 60); }, ThrowsRuntimeError(kErrTypeMismatch));
  EXPECT_THAT([] { DateTime::TimeOfDay(-1, 0, 0); }, ThrowsRuntimeError(kErrTypeMismatch));
}

// ---- AddMinutes ---------------------------------------------------------------------------

TEST(AddMinutes, PageTimeShiftedByTheZoneOffset) {
  // 00:30:00 UTC one hour west lands on the day before the zero date.
  const DateTime shifted = DateTime::Parse("00:30:00").AddMinutes(-60);
  ExpectMoment(shifted, {1899, 12, 29, 23, 30, 0});
  EXPECT_EQ(shifted.SerialSeconds(), -1800);
  EXPECT_EQ(shifted.TimeOnly(), DateTime::TimeOfDay(23, 30, 0));

  ExpectMoment(DateTime::Parse("12:00:00").AddMinutes(-300), {1899, 12, 30, 7, 0, 0});
  ExpectMoment(DateTime::Parse("12:00:00").AddMinutes(60), {1899, 12, 30, 13, 0, 0});
}

struct Shift {
  Moment start;
  std::int64_t minutes;
  Moment expected;
};

void PrintTo(const Shift& c, std::ostream* out) { *out << c.start << " + " << c.minutes << " min"; }

class AddMinutesAcross : public testing::TestWithParam<Shift> {};

TEST_P(AddMinutesAcross, LandsOnTheRightMoment) {
  const Shift& c = GetParam();
  const DateTime result = c.start.Value().AddMinutes(c.minutes);
  ExpectMoment(result, c.expected);
  EXPECT_EQ(result, c.expected.Value());
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, AddMinutesAcross,
    testing::Values(Shift{{2026, 12, 7, 12, 0, 30}, 0, {2026, 12, 7, 12, 0, 30}},
                    Shift{{2026, 12, 7, 23, 59, 30}, 1, {2026, 12, 8, 0, 0, 30}},
                    Shift{{2026, 12, 31, 23, 59, 0}, 1, {2027, 1, 1, 0, 0, 0}},
                    Shift{{2027, 1, 1, 0, 0, 0}, -1, {2026, 12, 31, 23, 59, 0}},
                    Shift{{2026, 1, 31, 22, 0, 0}, 180, {2026, 2, 1, 1, 0, 0}},
                    Shift{{2024, 2, 28, 23, 30, 0}, 30, {2024, 2, 29, 0, 0, 0}},
                    Shift{{2023, 2, 28, 23, 30, 0}, 30, {2023, 3, 1, 0, 0, 0}},
                    Shift{{2024, 3, 1, 0, 0, 0}, -1, {2024, 2, 29, 23, 59, 0}},
                    Shift{{2100, 2, 28, 12, 0, 0}, 1440, {2100, 3, 1, 12, 0, 0}},
                    Shift{{2000, 2, 28, 12, 0, 0}, 1440, {2000, 2, 29, 12, 0, 0}},
                    Shift{{2026, 12, 7, 12, 0, 0}, 365 * 1440, {2027, 12, 7, 12, 0, 0}},
                    Shift{{2026, 12, 7, 12, 0, 0}, -366 * 1440, {2025, 12, 6, 12, 0, 0}},
                    Shift{{1899, 12, 30, 0, 0, 0}, -1, {1899, 12, 29, 23, 59, 0}},
                    Shift{{1899, 12, 29, 23, 59, 59}, 1, {1899, 12, 30, 0, 0, 59}},
                    Shift{{9999, 12, 31, 23, 58, 59}, 1, {9999, 12, 31, 23, 59, 59}},
                    Shift{{100, 1, 1, 0, 1, 0}, -1, {100, 1, 1, 0, 0, 0}},
                    // From one end of the range to the other: 3615900 days less one minute.
                    Shift{{100, 1, 1, 0, 0, 0}, 5206895999, {9999, 12, 31, 23, 59, 0}},
                    Shift{{9999, 12, 31, 23, 59, 59}, -5206895999, {100, 1, 1, 0, 0, 59}}));

TEST(AddMinutes, ResultsOutsideTheRangeAreRefused) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const DateTime last = DateTime::FromParts(9999, 12, 31, 23, 59, 0);
  const DateTime first = DateTime::FromParts(100, 1, 1, 0, 0, 30);
  const DateTime zero;
  struct Case {
    DateTime start;
    std::int64_t minutes;
  };
  for (const Case& c :
       {Case{last, 1}, Case{first, -1}, Case{DateTime::FromParts(100, 1, 1), 5206896000},
        Case{DateTime::FromParts(9999, 12, 31, 23, 59, 59), -5206896000}, Case{zero, kMax},
        Case{zero, kMin}, Case{zero, kMax / 60}, Case{zero, kMax / 60 + 1}, Case{zero, kMin / 60},
        Case{zero, kMin / 60 - 1}, Case{last, kMax}, Case{first, kMin}, Case{last, kMin},
        Case{first, kMax}}) {
    SCOPED_TRACE(testing::Message() << c.start.SerialSeconds() << " + " << c.minutes << " min");
    EXPECT_THAT([&] { c.start.AddMinutes(c.minutes); }, ThrowsRuntimeError(kErrInvalidCall));
  }
}

// ---- NearestDayAt -------------------------------------------------------------------------

struct NearestCase {
  Moment now;
  int hour, minute, second;
  Moment expected;
};

void PrintTo(const NearestCase& c, std::ostream* out) {
  *out << "now " << c.now << ", " << c.hour << ":" << c.minute << ":" << c.second;
}

class NearestDay : public testing::TestWithParam<NearestCase> {};

TEST_P(NearestDay, PicksTheClosestOfYesterdayTodayAndTomorrow) {
  const NearestCase& c = GetParam();
  const int secondOfDay = (c.hour * 60 + c.minute) * 60 + c.second;
  ExpectMoment(NearestDayAt(c.now.Value(), secondOfDay), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NearestDay,
    testing::Values(
        // Just after midnight, a time just before it belongs to yesterday, and the other way.
        NearestCase{{2026, 12, 8, 0, 0, 5}, 23, 59, 58, {2026, 12, 7, 23, 59, 58}},
        NearestCase{{2026, 12, 7, 23, 59, 50}, 0, 0, 3, {2026, 12, 8, 0, 0, 3}},
        NearestCase{{2026, 12, 7, 12, 0, 0}, 7, 0, 0, {2026, 12, 7, 7, 0, 0}},
        NearestCase{{2026, 12, 7, 8, 15, 0}, 8, 15, 0, {2026, 12, 7, 8, 15, 0}},
        // 11:00 with 23:30: today is 12.5 h ahead, yesterday 11.5 h behind.
        NearestCase{{2026, 12, 7, 11, 0, 0}, 23, 30, 0, {2026, 12, 6, 23, 30, 0}},
        NearestCase{{2026, 12, 7, 11, 30, 1}, 23, 30, 0, {2026, 12, 7, 23, 30, 0}},
        // 13:00 with 00:30: today is 12.5 h behind, tomorrow 11.5 h ahead.
        NearestCase{{2026, 12, 7, 13, 0, 0}, 0, 30, 0, {2026, 12, 8, 0, 30, 0}},
        NearestCase{{2026, 12, 7, 12, 29, 59}, 0, 30, 0, {2026, 12, 7, 0, 30, 0}},
        // Exactly twelve hours either way: today wins the tie.
        NearestCase{{2026, 12, 7, 12, 0, 0}, 0, 0, 0, {2026, 12, 7, 0, 0, 0}},
        NearestCase{{2026, 12, 7, 0, 0, 0}, 12, 0, 0, {2026, 12, 7, 12, 0, 0}},
        NearestCase{{2026, 12, 7, 11, 30, 0}, 23, 30, 0, {2026, 12, 7, 23, 30, 0}},
        // Across the turn of a month and a year.
        NearestCase{{2027, 1, 1, 0, 10, 0}, 23, 50, 0, {2026, 12, 31, 23, 50, 0}},
        NearestCase{{2026, 12, 31, 23, 50, 0}, 0, 10, 0, {2027, 1, 1, 0, 10, 0}},
        NearestCase{{2024, 3, 1, 0, 0, 30}, 23, 59, 0, {2024, 2, 29, 23, 59, 0}},
        NearestCase{{2023, 2, 28, 23, 0, 0}, 1, 0, 0, {2023, 3, 1, 1, 0, 0}},
        // On the zero date, which is where a time-only value sits.
        NearestCase{{1899, 12, 30, 0, 0, 5}, 23, 59, 58, {1899, 12, 29, 23, 59, 58}},
        // At the range ends the day outside is never chosen.
        NearestCase{{100, 1, 1, 0, 0, 10}, 23, 59, 59, {100, 1, 1, 23, 59, 59}},
        NearestCase{{9999, 12, 31, 23, 59, 50}, 0, 0, 5, {9999, 12, 31, 0, 0, 5}},
        NearestCase{{100, 1, 1, 23, 59, 50}, 0, 0, 5, {100, 1, 2, 0, 0, 5}}));

TEST(NearestDay, SecondOfDayMustLieWithinTheDay) {
  const DateTime now = DateTime::FromParts(2026, 12, 7, 12, 0, 0);
  for (const int secondOfDay :
       {-1, 86400, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()}) {
    SCOPED_TRACE(secondOfDay);
    EXPECT_THAT([&] { NearestDayAt(now, secondOfDay); }, ThrowsRuntimeError(kErrInvalidCall));
  }
}

}  // namespace
}  // namespace tidewell
