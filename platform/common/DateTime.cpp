#include "DateTime.h"

#include <cstddef>
#include <cstdlib>
#include <optional>

#include "RuntimeError.h"

namespace tidewell {
namespace {

// ---------------------------------------------------------------------------------------------
// Calendar arithmetic
//
// Days are counted in the proleptic Gregorian calendar. Internally the year is taken to start on
// 1 March, so the leap day is the last day of its year and the month lengths from March on repeat
// in a fixed 153-day pattern of five months. Whole 400-year cycles ("eras") have 146097 days.

constexpr std::int64_t kDaysPerEra = 146097;
constexpr std::int64_t kYearsPerEra = 400;

// Floor division and its remainder for a positive divisor; the built-in ones round towards zero,
// which is wrong for dates before the zero date.
constexpr std::int64_t FloorDiv(std::int64_t value, std::int64_t divisor) {
  return value / divisor - (value % divisor < 0 ? 1 : 0);
}
constexpr std::int64_t FloorMod(std::int64_t value, std::int64_t divisor) {
  return value - FloorDiv(value, divisor) * divisor;
}

// Day of the March-based year (0 = 1 March) on which the month starts. The month index counts
// from March = 0 to February = 11.
constexpr std::int64_t MarchBasedDayOfYear(std::int64_t marchMonth) {
  return (153 * marchMonth + 2) / 5;
}

// Days from 1 March of year 0 to the given date.
constexpr std::int64_t DaysFromMarchOfYearZero(std::int64_t year, int month, int day) {
  const std::int64_t marchYear = month <= 2 ? year - 1 : year;
  const std::int64_t marchMonth = month <= 2 ? month + 9 : month - 3;
  const std::int64_t era = FloorDiv(marchYear, kYearsPerEra);
  const std::int64_t yearOfEra = marchYear - era * kYearsPerEra;  // 0..399
  const std::int64_t dayOfYear = MarchBasedDayOfYear(marchMonth) + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * kDaysPerEra + dayOfEra;
}

constexpr std::int64_t kZeroDateFromMarchOfYearZero = DaysFromMarchOfYearZero(1899, 12, 30);

// Whole days from the zero date 1899-12-30 to the given date (negative before it).
constexpr std::int64_t DaysFromZeroDate(std::int64_t year, int month, int day) {
  return DaysFromMarchOfYearZero(year, month, day) - kZeroDateFromMarchOfYearZero;
}

struct CivilDate {
  std::int64_t year;
  int month;
  int day;
};

// The inverse of DaysFromZeroDate.
constexpr CivilDate CivilFromDays(std::int64_t daysFromZeroDate) {
  const std::int64_t days = daysFromZeroDate + kZeroDateFromMarchOfYearZero;
  const std::int64_t era = FloorDiv(days, kDaysPerEra);
  const std::int64_t dayOfEra = days - era * kDaysPerEra;  // 0..146096
  // Take out the leap days the era has had before this day (one per four years, none per
  // hundred, one again on the last day of the era) and the remainder divides into 365-day years.
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / (kDaysPerEra - 1)) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t marchMonth = (5 * dayOfYear + 2) / 153;  // 0 = March .. 11 = February
  const int day = static_cast<int>(dayOfYear - MarchBasedDayOfYear(marchMonth) + 1);
  const int month = static_cast<int>(marchMonth < 10 ? marchMonth + 3 : marchMonth - 9);
  const std::int64_t year = era * kYearsPerEra + yearOfEra + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

constexpr std::int64_t kMinSerialSeconds =
    DaysFromZeroDate(DateTime::kMinYear, 1, 1) * DateTime::kSecondsPerDay;
constexpr std::int64_t kMaxSerialSeconds =
    DaysFromZeroDate(DateTime::kMaxYear, 12, 31) * DateTime::kSecondsPerDay +
    DateTime::kSecondsPerDay - 1;
// No sum of minutes larger than this can keep a value in range, so bigger counts are refused
// before they are multiplied and cannot overflow.
constexpr std::int64_t kMaxMinuteStep = (kMaxSerialSeconds - kMinSerialSeconds) / 60 + 1;

// The zero date was a Saturday.
constexpr int kZeroDateDayOfWeek = 6;

RuntimeError InvalidArgument() {
  return RuntimeError(kErrInvalidCall, "Invalid procedure call or argument");
}

bool IsValidTimeOfDay(int hour, int minute, int second) {
  return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59;
}

bool IsValidMonth(int month) { return month >= 1 && month <= 12; }

bool IsValidDate(int year, int month, int day) {
  return IsValidMonth(month) && day >= 1 && day <= DaysInMonth(year, month);
}

// ---------------------------------------------------------------------------------------------
// Text to date-time
//
// The scanner works on bytes and knows only ASCII digits, the separators '-', '/', ':', the
// space and the letters of AM/PM, so tabs, signs, words and any byte of a multi-byte character
// fall out as a mismatch on their own.

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char ToUpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ == text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
  std::string_view Rest() const { return text_.substr(pos_); }

  bool Take(char expected) {
    if (Peek() != expected) return false;
    ++pos_;
    return true;
  }

  // Reads the whole run of digits at the cursor; it must be between minDigits and maxDigits long.
  // The runs are at most four digits, so the value cannot overflow.
  std::optional<int> TakeNumber(std::size_t minDigits, std::size_t maxDigits) {
    std::size_t end = pos_;
    while (end < text_.size() && IsDigit(text_[end])) ++end;
    const std::size_t length = end - pos_;
    if (length < minDigits || length > maxDigits) return std::nullopt;
    int value = 0;
    for (; pos_ < end; ++pos_) value = value * 10 + (text_[pos_] - '0');
    return value;
  }

  std::size_t SkipSpaces() {
    const std::size_t start = pos_;
    while (Peek() == ' ') ++pos_;
    return pos_ - start;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

struct DateFields {
  int year;
  int month;
  int day;
};

// YYYY-MM-DD or M/D/YYYY at the cursor. The first run of digits tells the two apart: four digits
// and a dash start an ISO date, one or two digits and a slash a US one.
std::optional<DateFields> TakeDate(Scanner& scanner) {
  Scanner probe = scanner;
  if (probe.TakeNumber(4, 4) && probe.Take('-')) {
    const auto year = scanner.TakeNumber(4, 4);
    scanner.Take('-');
    const auto month = scanner.TakeNumber(2, 2);
    if (!month || !scanner.Take('-')) return std::nullopt;
    const auto day = scanner.TakeNumber(2, 2);
    if (!day) return std::nullopt;
    return DateFields{*year, *month, *day};
  }
  probe = scanner;
  if (probe.TakeNumber(1, 2) && probe.Take('/')) {
    const auto month = scanner.TakeNumber(1, 2);
    scanner.Take('/');
    const auto day = scanner.TakeNumber(1, 2);
    if (!day || !scanner.Take('/')) return std::nullopt;
    const auto year = scanner.TakeNumber(4, 4);
    if (!year) return std::nullopt;
    return DateFields{*year, *month, *day};
  }
  return std::nullopt;
}

enum class HalfDay { kNone, kAm, kPm };

// An AM/PM mark that makes up the whole remaining text, with one space before it or none.
std::optional<HalfDay> TakeHalfDay(Scanner& scanner) {
  if (scanner.AtEnd()) return HalfDay::kNone;
  scanner.Take(' ');
  const std::string_view mark = scanner.Rest();
  if (mark.size() != 2 || ToUpperAscii(mark[1]) != 'M') return std::nullopt;
  switch (ToUpperAscii(mark[0])) {
    case 'A':
      return HalfDay::kAm;
    case 'P':
      return HalfDay::kPm;
    default:
      return std::nullopt;
  }
}

// Converts a clock-face hour (1..12) with its AM/PM mark to the hour of the day: 12 AM is the
// first hour of the day and 12 PM noon.
std::optional<int> HourOfDay(int hour, HalfDay halfDay) {
  if (halfDay == HalfDay::kNone) return hour;
  if (hour < 1 || hour > 12) return std::nullopt;
  const int hourOfHalf = hour % 12;
  return halfDay == HalfDay::kAm ? hourOfHalf : hourOfHalf + 12;
}

// H:MM or H:MM:SS with an optional AM/PM mark, running to the end of the text. Returns the second
// of the day; range errors of the fields count as a mismatch just like bad syntax.
std::optional<int> TakeTimeToEnd(Scanner& scanner) {
  const auto hour = scanner.TakeNumber(1, 2);
  if (!hour || !scanner.Take(':')) return std::nullopt;
  const auto minute = scanner.TakeNumber(2, 2);
  if (!minute) return std::nullopt;
  int second = 0;
  if (scanner.Take(':')) {
    const auto seconds = scanner.TakeNumber(2, 2);
    if (!seconds) return std::nullopt;
    second = *seconds;
  }
  const auto halfDay = TakeHalfDay(scanner);
  if (!halfDay) return std::nullopt;
  const auto hourOfDay = HourOfDay(*hour, *halfDay);
  if (!hourOfDay || !IsValidTimeOfDay(*hourOfDay, *minute, second)) return std::nullopt;
  return (*hourOfDay * 60 + *minute) * 60 + second;
}

std::string_view TrimSpaces(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// DateTime

DateTime DateTime::FromParts(int year, int month, int day, int hour, int minute, int second) {
  // A date that exists nowhere is a mismatch whatever its year; only a real date outside the
  // supported years is a range error.
  if (!IsValidDate(year, month, day) || !IsValidTimeOfDay(hour, minute, second)) {
    throw RuntimeError::TypeMismatch();
  }
  if (year < kMinYear || year > kMaxYear) throw RuntimeError::DateOutOfRange();
  const std::int64_t secondOfDay = (hour * 60 + minute) * 60 + second;
  return DateTime(DaysFromZeroDate(year, month, day) * kSecondsPerDay + secondOfDay);
}

DateTime DateTime::TimeOfDay(int hour, int minute, int second) {
  if (!IsValidTimeOfDay(hour, minute, second)) throw RuntimeError::TypeMismatch();
  return DateTime((hour * 60 + minute) * 60 + second);
}

DateTime DateTime::FromSerialSeconds(std::int64_t seconds) {
  if (seconds < kMinSerialSeconds || seconds > kMaxSerialSeconds) {
    throw RuntimeError::DateOutOfRange();
  }
  return DateTime(seconds);
}

DateTime DateTime::Parse(std::string_view text) {
  Scanner scanner(TrimSpaces(text));
  if (scanner.AtEnd()) throw RuntimeError::TypeMismatch();

  // A text that starts like a date must be a whole date; otherwise it must be a time.
  std::optional<DateFields> date;
  if (IsDigit(scanner.Peek())) {
    Scanner probe = scanner;
    probe.TakeNumber(1, 4);
    if (probe.Peek() == '-' || probe.Peek() == '/') {
      date = TakeDate(scanner);
      if (!date) throw RuntimeError::TypeMismatch();
    }
  }

  int secondOfDay = 0;
  const bool timeFollows = !date || (scanner.SkipSpaces() > 0 && !scanner.AtEnd());
  if (timeFollows) {
    const auto time = TakeTimeToEnd(scanner);
    if (!time) throw RuntimeError::TypeMismatch();
    secondOfDay = *time;
  } else if (!scanner.AtEnd()) {
    throw RuntimeError::TypeMismatch();
  }

  if (!date) return DateTime(secondOfDay);
  const DateTime midnight = FromParts(date->year, date->month, date->day);
  return DateTime(midnight.seconds_ + secondOfDay);
}

DateTime DateTime::AddMinutes(std::int64_t minutes) const {
  if (minutes > kMaxMinuteStep || minutes < -kMaxMinuteStep) throw RuntimeError::DateOutOfRange();
  return FromSerialSeconds(seconds_ + minutes * 60);
}

std::int64_t DateTime::DayNumber() const { return FloorDiv(seconds_, kSecondsPerDay); }

int DateTime::SecondOfDay() const { return static_cast<int>(FloorMod(seconds_, kSecondsPerDay)); }

DateTime DateTime::TimeOnly() const { return DateTime(SecondOfDay()); }

int DateTime::Year() const { return static_cast<int>(CivilFromDays(DayNumber()).year); }

int DateTime::Month() const { return CivilFromDays(DayNumber()).month; }

int DateTime::Day() const { return CivilFromDays(DayNumber()).day; }

// ---------------------------------------------------------------------------------------------
// Free helpers

DateTime NearestDayAt(const DateTime& now, int secondOfDay) {
  if (secondOfDay < 0 || secondOfDay >= DateTime::kSecondsPerDay) throw InvalidArgument();
  const std::int64_t today = now.DayNumber() * DateTime::kSecondsPerDay + secondOfDay;
  // Today first, so that it wins a tie; yesterday and tomorrow can only tie with each other when
  // today is exactly `now`, and then today is nearer than both.
  std::int64_t best = today;
  for (const std::int64_t candidate :
       {today - DateTime::kSecondsPerDay, today + DateTime::kSecondsPerDay}) {
    if (candidate < kMinSerialSeconds || candidate > kMaxSerialSeconds) continue;
    if (std::abs(candidate - now.SerialSeconds()) < std::abs(best - now.SerialSeconds())) {
      best = candidate;
    }
  }
  return DateTime::FromSerialSeconds(best);
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (!IsValidMonth(month)) throw InvalidArgument();
  if (month == 2 && IsLeapYear(year)) return 29;
  return kDaysInMonth[month - 1];
}

int DayOfWeek(int year, int month, int day) {
  if (!IsValidDate(year, month, day)) throw InvalidArgument();
  return static_cast<int>(FloorMod(DaysFromZeroDate(year, month, day) + kZeroDateDayOfWeek, 7));
}

int NthWeekdayOfMonth(int year, int month, int dayOfWeek, int occurrence) {
  if (!IsValidMonth(month) || dayOfWeek < 0 || dayOfWeek > 6 || occurrence < 1 || occurrence > 5) {
    throw InvalidArgument();
  }
  const int firstMatch = 1 + (dayOfWeek - DayOfWeek(year, month, 1) + 7) % 7;
  int day = firstMatch + 7 * (occurrence - 1);
  // "The fifth" means the last: in a month with only four such weekdays it is the fourth.
  while (day > DaysInMonth(year, month)) day -= 7;
  return day;
}

}  // namespace tidewell
