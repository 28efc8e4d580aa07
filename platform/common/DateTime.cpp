#include "DateTime.h"

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <optional>

#include "RuntimeError.h"

namespace tidewell {
namespace {

// ---------------------------------------------------------------------------------------------
// Calendar arithmetic
//
// Days are counted in the proleptic Gregorian calendar of <chrono>; a value's day number is the
// distance from the zero date in sys_days.

using std::chrono::days;
using std::chrono::sys_days;
using std::chrono::year_month_day;

constexpr sys_days kZeroDate{std::chrono::year{1899} / std::chrono::December / 30};

// Whole days from the zero date to the given date (negative before it). The date must exist and
// its year must fit std::chrono::year.
constexpr std::int64_t DaysFromZeroDate(int year, int month, int day) {
  const year_month_day date{std::chrono::year{year},
                            std::chrono::month{static_cast<unsigned>(month)},
                            std::chrono::day{static_cast<unsigned>(day)}};
  return (sys_days{date} - kZeroDate).count();
}

year_month_day DateOfDay(std::int64_t daysFromZeroDate) {
  return year_month_day{kZeroDate + days{daysFromZeroDate}};
}

constexpr std::int64_t kMinSerialSeconds =
    DaysFromZeroDate(DateTime::kMinYear, 1, 1) * DateTime::kSecondsPerDay;
constexpr std::int64_t kMaxSerialSeconds =
    DaysFromZeroDate(DateTime::kMaxYear, 12, 31) * DateTime::kSecondsPerDay +
    DateTime::kSecondsPerDay - 1;
// No sum of minutes larger than this can keep a value in range, so bigger counts are refused
// before they are multiplied and cannot overflow.
constexpr std::int64_t kMaxMinuteStep = (kMaxSerialSeconds - kMinSerialSeconds) / 60 + 1;

// The Gregorian calendar repeats itself every 400 years, leap days and weekdays alike (146097
// days are whole weeks). Any int year is folded onto its place in that cycle, which
// std::chrono::year can always hold, so a year far outside the supported range is still judged
// by its own calendar.
constexpr int kYearsPerCycle = 400;

std::chrono::year CycleYear(int year) {
  const int place = year % kYearsPerCycle;
  return std::chrono::year{place < 0 ? place + kYearsPerCycle : place};
}

constexpr int kLastOccurrence = 5;  // a Windows rule's "fifth" weekday is the month's last

RuntimeError InvalidArgument() {
  return RuntimeError(kErrInvalidCall, "Invalid procedure call or argument");
}

bool IsValidTimeOfDay(int hour, int minute, int second) {
  return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59;
}

bool IsValidMonth(int month) { return month >= 1 && month <= 12; }

bool IsValidDate(int year, int month, int day) {
  if (!IsValidMonth(month) || day < 1) return false;
  const std::chrono::year_month_day_last monthEnd{
      CycleYear(year) / std::chrono::month{static_cast<unsigned>(month)} / std::chrono::last};
  return static_cast<unsigned>(day) <= static_cast<unsigned>(monthEnd.day());
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

// Before the zero date the day is counted down (floor) while the time of day still runs forward.
std::int64_t DateTime::DayNumber() const {
  return std::chrono::floor<days>(std::chrono::seconds{seconds_}).count();
}

int DateTime::SecondOfDay() const {
  return static_cast<int>(seconds_ - DayNumber() * kSecondsPerDay);
}

DateTime DateTime::TimeOnly() const { return DateTime(SecondOfDay()); }

int DateTime::Year() const { return static_cast<int>(DateOfDay(DayNumber()).year()); }

int DateTime::Month() const { return static_cast<int>(unsigned{DateOfDay(DayNumber()).month()}); }

int DateTime::Day() const { return static_cast<int>(unsigned{DateOfDay(DayNumber()).day()}); }

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

int NthWeekdayOfMonth(int year, int month, int dayOfWeek, int occurrence) {
  if (!IsValidMonth(month) || dayOfWeek < 0 || dayOfWeek > 6 || occurrence < 1 ||
      occurrence > kLastOccurrence) {
    throw InvalidArgument();
  }
  const std::chrono::year_month yearMonth =
      CycleYear(year) / std::chrono::month{static_cast<unsigned>(month)};
  const std::chrono::weekday weekday{static_cast<unsigned>(dayOfWeek)};
  // "The fifth" means the last: in a month with only four such weekdays it is the fourth.
  const sys_days day = occurrence == kLastOccurrence
                           ? sys_days{yearMonth / weekday[std::chrono::last]}
                           : sys_days{yearMonth / weekday[static_cast<unsigned>(occurrence)]};
  return static_cast<int>(unsigned{year_month_day{day}.day()});
}

}  // namespace tidewell
