#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Platform.h"

namespace tidewell {

// The address of the time page, fixed at build time.
std::string TimePageAddress();

// Minutes to add to local time to get UTC today (month, day), deciding by whole days whether
// daylight time is in force from the zone's transition days. Raises the overflow error when the
// sum does not fit in 32 bits.
std::int32_t BiasMinutes(const TimeZoneSettings& zone, std::int16_t month, std::int16_t day);

// True when (month, day) is the day of one of the zone's two changes.
bool IsChangeDay(const TimeZoneSettings& zone, std::int16_t month, std::int16_t day);

// Minutes to add to local time to get UTC at the instant a page names by its Universal time of
// day `universal`, the local clock reading `clock`. On ordinary days this is BiasMinutes for the
// clock's date. On the day of a change the whole day is not on one side of it: daylight time is
// in force from the change's moment on the day it begins, and until that moment on the day it
// ends. The page's instant is its time of day on the UTC date nearest the clock's UTC reading.
std::int32_t BiasMinutesAt(const TimeZoneSettings& zone, const DateTime& clock,
                           const DateTime& universal);

// What one download of an address brought: the body, or the part read before a failure, or
// nothing; the timing of its reply; and why the transfer failed, if it did.
struct UrlText {
  std::string text;
  std::optional<ReplyTiming> timing;
  std::string failure;
};

// The synchronisation component that each program's window carries: it downloads the time page,
// takes the Universal Time from it, sets the local clock and keeps the clock's time as text.
class TimeCore {
 public:
  explicit TimeCore(Platform& platform) : platform_(platform) {}
  virtual ~TimeCore() = default;

  // One synchronisation. True when the clock was set; m_StrAtomicTime then holds the clock's
  // time of day as read back. False when the page held no usable time entry or the system
  // refused the change. Raises RuntimeError when the time entry is malformed.
  bool DoAtomicTime();

  // The clock's time of day after the last successful synchronisation, empty otherwise.
  std::string m_StrAtomicTime;

 protected:
  // Downloads the body of `address`; whatever goes wrong, returns what was read (maybe nothing),
  // with what the platform said of the reply.
  UrlText GetUrlText(std::string address);

  Platform& platform_;
};

}  // namespace tidewell
