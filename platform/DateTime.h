#pragma once

#include <cstdint>
#include <string_view>

namespace tidewell {

// A calendar date and a time of day to the second, counted in seconds from the zero date
// 1899-12-30 00:00:00. A value converted from a text holding only a time of day sits on the
// zero date. Valid values lie in the years 100 to 9999; every operation that would leave that
// range raises the date-range run-time error.
class DateTime {
 public:
  static constexpr int kMinYear = 100;
  static constexpr int kMaxYear = 9999;
  static constexpr std::int64_t kSecondsPerDay = 86400;

  DateTime() = default;  // the zero date at midnight

  // Throws RuntimeError (date range) for a year outside 100..9999, and (type mismatch) for a
  // month, day, hour, minute or second that does not exist.
  static DateTime FromParts(int year, int month, int day, int hour = 0, int minute = 0,
                            int second = 0);
  // A time of day on the zero date.
  static DateTime TimeOfDay(int hour, int minute, int second);
  // Seconds from the zero date; throws the date-range error outside years 100..9999.
  static DateTime FromSerialSeconds(std::int64_t seconds);

  // Text to date-time. Accepts a time of day (H:MM, H:MM:SS, either with AM/PM in any case, with
  // or without a space), a date (YYYY-MM-DD or M/D/YYYY), or a date, spaces and a time. Leading
  // and trailing spaces are allowed. Anything else raises the type-mismatch error.
  static DateTime Parse(std::string_view text);

  // Date-time plus a signed number of minutes; the date-range error when the result leaves the
  // years 100..9999.
  DateTime AddMinutes(std::int64_t minutes) const;

  std::int64_t SerialSeconds() const { return seconds_; }
  std::int64_t DayNumber() const;  // whole days from the zero date (floor)
  int SecondOfDay() const;         // 0..86399
  DateTime TimeOnly() const;       // the same time of day on the zero date

  int Year() const;
  int Month() const;
  int Day() const;
  int Hour() const { return SecondOfDay() / 3600; }
  int Minute() const { return SecondOfDay() / 60 % 60; }
  int Second() const { return SecondOfDay() % 60; }

  friend bool operator==(const DateTime&, const DateTime&) = default;
  friend auto operator<=>(const DateTime&, const DateTime&) = default;

 private:
  explicit DateTime(std::int64_t seconds) : seconds_(seconds) {}
  std::int64_t seconds_ = 0;
};

// The moment on yesterday, today or tomorrow (counted from `now`) at `secondOfDay` that lies
// nearest `now`. Setting the clock to a time of day on the nearest of those days keeps a clock
// that is a little off across midnight on the right date.
DateTime NearestDayAt(const DateTime& now, int secondOfDay);

// A yearly transition given the Windows way: the `occurrence`-th (1..4, 5 = the last) weekday
// `dayOfWeek` (0 = Sunday) of `month`. Returns the day of the month on which it falls in `year`;
// a month, weekday or occurrence out of those ranges raises the invalid-argument error.
int NthWeekdayOfMonth(int year, int month, int dayOfWeek, int occurrence);

}  // namespace tidewell
