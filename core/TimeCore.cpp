#include "TimeCore.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>

#include "RuntimeError.h"

namespace tidewell {
namespace {

constexpr const char* kMarker = "Universal";  // matched with exact case
constexpr char kSeparator = ',';
constexpr const char* kUserAgent = "VB Project";
constexpr std::uint32_t kChunkSize = 2048;

// Positions in the page are 1-based and kept in 16-bit variables, as the routine always has:
// a position that does not fit is an overflow, not a silent wrap.
std::int16_t CheckedInt16(std::int64_t value) {
  if (value < std::numeric_limits<std::int16_t>::min() ||
      value > std::numeric_limits<std::int16_t>::max()) {
    throw RuntimeError::Overflow();
  }
  return static_cast<std::int16_t>(value);
}

std::int32_t CheckedAdd32(std::int32_t a, std::int32_t b) {
  std::int32_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) throw RuntimeError::Overflow();
  return sum;
}

// Removes leading and trailing U+0020 only: a tab next to the time stays part of it.
std::string TrimSpaces(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

bool DaylightInForce(const TimeZoneSettings& zone, std::int16_t month, std::int16_t day) {
  const std::int16_t sm = zone.StandardMonth;
  const std::int16_t sd = zone.StandardDay;
  const std::int16_t dm = zone.DaylightMonth;
  const std::int16_t dd = zone.DaylightDay;
  if (sm == 0) return false;              // the zone keeps no daylight time
  if (month == sm) return day < sd;       // the day of the change already counts as standard
  if (month == dm) return day >= dd;      // the day of the change already counts as daylight
  if (dm < sm) return month > dm && month < sm;  // daylight period within one calendar year
  return month > dm || month < sm;               // daylight period spans the turn of the year
}

constexpr std::int64_t kSecondsPerMinute = 60;

enum class ChangeOfDay { None, ToStandard, ToDaylight };

// Tested in the offset rule's order, so a zone whose two changes share a day counts the change
// to standard time.
ChangeOfDay ChangeOn(const TimeZoneSettings& zone, std::int16_t month, std::int16_t day) {
  if (zone.StandardMonth == 0) return ChangeOfDay::None;
  if (month == zone.StandardMonth && day == zone.StandardDay) return ChangeOfDay::ToStandard;
  if (month == zone.DaylightMonth && day == zone.DaylightDay) return ChangeOfDay::ToDaylight;
  return ChangeOfDay::None;
}

// The UTC moment of the change on the clock's date: local midnight, plus the change's second on
// the clock as it read before, turned to UTC with the bias in force before the change.
DateTime ChangeMoment(const DateTime& clock, std::int32_t changeSecond,
                      std::int64_t biasBeforeMinutes) {
  const DateTime midnight = DateTime::FromParts(clock.Year(), clock.Month(), clock.Day());
  return DateTime::FromSerialSeconds(midnight.SerialSeconds() + changeSecond +
                                     biasBeforeMinutes * kSecondsPerMinute);
}

}  // namespace

bool IsChangeDay(const TimeZoneSettings& zone, std::int16_t month, std::int16_t day) {
  return ChangeOn(zone, month, day) != ChangeOfDay::None;
}

std::int32_t BiasMinutesAt(const TimeZoneSettings& zone, const DateTime& clock,
                           const DateTime& universal) {
  const auto month = static_cast<std::int16_t>(clock.Month());
  const auto day = static_cast<std::int16_t>(clock.Day());
  const std::int32_t wholeDayBias = BiasMinutes(zone, month, day);
  const ChangeOfDay change = ChangeOn(zone, month, day);
  if (change == ChangeOfDay::None) return wholeDayBias;

  // The whole-day bias is at most the change's size off: close enough to find the page's date.
  const DateTime clockUtc = clock.AddMinutes(wholeDayBias);
  const DateTime pageInstant = NearestDayAt(clockUtc, universal.SecondOfDay());
  const std::int64_t standardBias = std::int64_t{zone.Bias} + zone.StandardBias;
  const std::int64_t daylightBias = std::int64_t{zone.Bias} + zone.DaylightBias;
  const bool daylight =
      change == ChangeOfDay::ToDaylight
          ? pageInstant >= ChangeMoment(clock, zone.DaylightChangeSecond, standardBias)
          : pageInstant < ChangeMoment(clock, zone.StandardChangeSecond, daylightBias);
  return CheckedAdd32(zone.Bias, daylight ? zone.DaylightBias : zone.StandardBias);
}

std::int32_t BiasMinutes(const TimeZoneSettings& zone, std::int16_t month, std::int16_t day) {
  const std::int32_t seasonalBias =
      DaylightInForce(zone, month, day) ? zone.DaylightBias : zone.StandardBias;
  return CheckedAdd32(zone.Bias, seasonalBias);
}

bool TimeCore::DoAtomicTime() {
  m_StrAtomicTime.clear();
  bool result = false;

  const TimeZoneSettings zone = platform_.ReadTimeZoneSettings();
  const MonthDay today = platform_.Today();
  std::int32_t biasMinutes = BiasMinutes(zone, today.Month, today.Day);

  UrlText download = GetUrlText(TimePageAddress());
  std::string& page = download.text;

  const auto markerIndex = page.find(kMarker);
  if (markerIndex == std::string::npos) return result;
  const std::int64_t p = static_cast<std::int64_t>(markerIndex) + 1;

  page.resize(static_cast<std::size_t>(p));  // up to and including the marker's "U"
  const auto commaIndex = page.rfind(kSeparator);
  const std::int16_t c =
      CheckedInt16(commaIndex == std::string::npos ? 0 : static_cast<std::int64_t>(commaIndex) + 1);
  if (c == 0) return result;

  const std::int16_t timeStart = CheckedInt16(std::int64_t{c} + 1);
  const std::int64_t timeLength = p - timeStart;
  const std::string timeText =
      TrimSpaces(page.substr(static_cast<std::size_t>(timeStart - 1),
                             static_cast<std::size_t>(timeLength)));

  // The page names a whole second; the figures of its reply, when it carried them, say how far
  // past it the true time is by now. The offset is then chosen for that true instant.
  const PreciseTime universal =
      BroughtUpToDate(DateTime::Parse(timeText), download.timing, std::chrono::steady_clock::now());
  // On the day of a change the whole-day offset holds only on one side of the change's moment,
  // so there the page's own instant decides which offset turns it into local time.
  const DateTime clock = platform_.ReadLocalClock();
  if (IsChangeDay(zone, today.Month, today.Day)) {
    biasMinutes = BiasMinutesAt(zone, clock, universal.second);
  }
  const DateTime local = universal.second.AddMinutes(-std::int64_t{biasMinutes});

  // Only the time of day is taken from the page. It goes on whichever of yesterday, today or
  // tomorrow lies nearest the clock, so a clock a little off across midnight keeps its date.
  const PreciseTime target{NearestDayAt(clock, local.SecondOfDay()), universal.fraction};
  // The bias tells a reading that the change's repeated hour shows twice which instant it is.
  if (!platform_.SetLocalClock(target, biasMinutes)) return result;  // the system refused

  m_StrAtomicTime = platform_.TimeOfDayText(platform_.ReadLocalClock().TimeOnly());
  result = true;
  return result;
}

UrlText TimeCore::GetUrlText(std::string address) {
  UrlText result;
  std::string buffer(kChunkSize, ' ');

  const InternetHandle session = platform_.InternetOpen(kUserAgent);
  const InternetHandle url = platform_.InternetOpenUrl(session, address);

  bool keepReading = true;
  while (keepReading) {
    std::fill(buffer.begin(), buffer.end(), ' ');
    const std::uint32_t bytesRead =
        std::min(platform_.InternetReadFile(url, buffer.data(), kChunkSize), kChunkSize);
    // One character per byte: positions in the page count bytes, whatever the code page.
    result.text.append(buffer, 0, bytesRead);
    if (bytesRead == 0) keepReading = false;
  }

  // Asked while both handles are open: the timing belongs to this reply, and an address that
  // could not be opened leaves its reason with the session.
  ReplyReport reply = platform_.InternetQueryReply(session, url);
  result.timing = reply.timing;
  result.failure = std::move(reply.failure);

  if (url != 0) platform_.InternetCloseHandle(url);
  if (session != 0) platform_.InternetCloseHandle(session);
  return result;
}

}  // namespace tidewell
