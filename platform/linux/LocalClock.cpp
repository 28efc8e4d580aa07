#include "LocalClock.h"

#include <locale.h>
#include <sys/timex.h>

#include <algorithm>
#include <array>

namespace tidewell {
namespace {

constexpr std::time_t kSecondsPerDay = 86400;
constexpr int kTmBaseYear = 1900;
constexpr long kSecondsPerMinute = 60;
constexpr int kLastSecondOfMinute = 59;  // a leap second shows as the second before it
constexpr const char* kTimeOfDayFormat = "%X";
constexpr std::size_t kTimeTextCapacity = 128;
// The kernel's limit on the error it keeps (NTP's phase limit): beyond it the clock is unsynced.
constexpr std::chrono::microseconds kLargestError{16'000'000};

std::optional<long> OffsetAt(std::time_t instant) {
  std::tm local{};
  if (localtime_r(&instant, &local) == nullptr) return std::nullopt;
  return local.tm_gmtoff;
}

// The reading taken as if it were UTC: the instant it names, plus the zone's offset.
std::time_t WallSeconds(const DateTime& local) {
  std::tm wall{};
  wall.tm_year = local.Year() - kTmBaseYear;
  wall.tm_mon = local.Month() - 1;
  wall.tm_mday = local.Day();
  wall.tm_hour = local.Hour();
  wall.tm_min = local.Minute();
  wall.tm_sec = local.Second();
  return timegm(&wall);
}

bool OffsetHolds(std::time_t instant, long offset) { return OffsetAt(instant) == offset; }

}  // namespace

std::optional<timespec> LocalToTimespec(const DateTime& local,
                                        std::optional<std::int32_t> biasMinutes) {
  tzset();
  const std::time_t wall = WallSeconds(local);
  // The offsets a day either side of the reading are the ones before and after any change that
  // touches it. (mktime with tm_isdst = -1 guesses from whatever it converted last, so the same
  // repeated reading could land an hour apart from one call to the next.)
  const std::optional<long> offsetBefore = OffsetAt(wall - kSecondsPerDay);
  const std::optional<long> offsetAfter = OffsetAt(wall + kSecondsPerDay);
  if (!offsetBefore || !offsetAfter) return std::nullopt;

  std::time_t instant = wall - *offsetAfter;
  const bool afterHolds = OffsetHolds(instant, *offsetAfter);
  const bool beforeHolds = OffsetHolds(wall - *offsetBefore, *offsetBefore);
  if (!afterHolds && beforeHolds) {
    instant = wall - *offsetBefore;  // an ordinary reading just before a change
  }
  // Both offsets hold for a repeated reading and neither for a skipped one: the zone cannot
  // tell, the offset the reading was made with can.
  const bool readingIsOpen = afterHolds == beforeHolds && *offsetBefore != *offsetAfter;
  if (readingIsOpen && biasMinutes) {
    const long wanted = -static_cast<long>(*biasMinutes) * kSecondsPerMinute;
    if (wanted == *offsetBefore || wanted == *offsetAfter) instant = wall - wanted;
  }
  return timespec{instant, 0};
}

bool MarkClockSynchronised(std::chrono::nanoseconds errorBound) {
  timex state{};  // modes 0: only reads the status, whose other bits stay as they are
  if (adjtimex(&state) < 0) return false;
  const auto error = std::min(kLargestError, std::chrono::ceil<std::chrono::microseconds>(std::max(
                                                 errorBound, std::chrono::nanoseconds{0})));
  timex change{};
  change.modes = ADJ_STATUS | ADJ_MAXERROR | ADJ_ESTERROR;
  change.status = state.status & ~STA_UNSYNC;
  change.maxerror = error.count();
  change.esterror = error.count();
  return adjtimex(&change) >= 0;
}

std::optional<DateTime> LocalDateTimeAt(std::time_t instant) {
  std::tm local{};
  if (localtime_r(&instant, &local) == nullptr) return std::nullopt;
  const int second = local.tm_sec > kLastSecondOfMinute ? kLastSecondOfMinute : local.tm_sec;
  return DateTime::FromParts(local.tm_year + kTmBaseYear, local.tm_mon + 1, local.tm_mday,
                             local.tm_hour, local.tm_min, second);
}

std::string FormatTimeOfDay(const DateTime& timeOfDay) {
  locale_t userTime = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (userTime == static_cast<locale_t>(0)) {
    userTime = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
  }
  if (userTime == static_cast<locale_t>(0)) return {};

  std::tm fields{};
  fields.tm_hour = timeOfDay.Hour();
  fields.tm_min = timeOfDay.Minute();
  fields.tm_sec = timeOfDay.Second();
  std::array<char, kTimeTextCapacity> text{};
  const std::size_t length =
      strftime_l(text.data(), text.size(), kTimeOfDayFormat, &fields, userTime);
  freelocale(userTime);
  return std::string(text.data(), length);
}

}  // namespace tidewell
