#pragma once

// A calendar for checking the date-time code against: the Gregorian rules written out plainly
// and walked one day at a time, sharing nothing with the code under test.

namespace tidewell::plain {

inline bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

inline int MonthLength(int year, int month) {
  static constexpr int kLengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kLengths[month - 1];
}

// One calendar day and its weekday (0 = Sunday .. 6 = Saturday).
struct Day {
  int year, month, day, weekday;

  void Next() {
    weekday = (weekday + 1) % 7;
    if (++day <= MonthLength(year, month)) return;
    day = 1;
    if (++month <= 12) return;
    month = 1;
    ++year;
  }
};

}  // namespace tidewell::plain
