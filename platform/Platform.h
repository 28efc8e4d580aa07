#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "DateTime.h"
#include "ReplyTiming.h"

namespace tidewell {

// The zone's settings in the Windows sense: UTC = local time + bias, in minutes. The transition
// months and days are the calendar days on which the zone changes to standard and to daylight
// time in the current year; StandardMonth is 0 when the zone keeps no daylight time. The change
// seconds say when on its day each change happens: seconds after local midnight of that day, on
// the clock as it reads before the change (0 for a change at midnight, 86400 for one at the end
// of the day).
struct TimeZoneSettings {
  std::int32_t Bias = 0;
  std::int32_t StandardBias = 0;
  std::int32_t DaylightBias = 0;
  std::int16_t StandardMonth = 0;
  std::int16_t StandardDay = 0;
  std::int16_t DaylightMonth = 0;
  std::int16_t DaylightDay = 0;
  std::int32_t StandardChangeSecond = 0;
  std::int32_t DaylightChangeSecond = 0;

  friend bool operator==(const TimeZoneSettings&, const TimeZoneSettings&) = default;
};

struct MonthDay {
  std::int16_t Month = 1;  // 1..12
  std::int16_t Day = 1;    // 1..31
};

// An open internet session or address; 0 means that opening failed.
using InternetHandle = std::uintptr_t;

// What the download of one address learnt besides its body.
struct ReplyReport {
  // The reply's Server-Timing figures and the exchange as timed here; empty when the reply
  // carried no sound figures, or there was no reply.
  std::optional<ReplyTiming> timing;
  // Why the transfer failed, in a few words ("Connection refused"); empty when it did not.
  std::string failure;
};

// What the synchronisation needs from the operating system. One implementation per platform,
// plus a scripted one for tests.
class Platform {
 public:
  virtual ~Platform() = default;

  virtual TimeZoneSettings ReadTimeZoneSettings() = 0;
  virtual MonthDay Today() = 0;

  // The local clock as a full date-time.
  virtual DateTime ReadLocalClock() = 0;
  // Sets the local clock to `local`, a reading and its fraction of a second, in which UTC =
  // local + `biasMinutes`. The bias matters only where the zone's own rules leave the reading
  // open: on the day a change repeats an hour it picks which of the two instants is meant. The
  // platform sets the clock as finely as it can, never rounding up. Returns false when the
  // system refuses the change.
  virtual bool SetLocalClock(const PreciseTime& local, std::int32_t biasMinutes) = 0;
  // A time of day as text in the user's time format.
  virtual std::string TimeOfDayText(const DateTime& timeOfDay) = 0;

  // The internet functions the page download is written against. A session is opened with a
  // user-agent name; an address is opened on a session for a fresh (never cached) GET; each read
  // delivers at most `bytesToRead` bytes into `buffer` and returns how many it delivered, 0 at
  // the end of the body and on any failure. Handles of 0 are failures and are never closed.
  virtual InternetHandle InternetOpen(const std::string& agent) = 0;
  virtual InternetHandle InternetOpenUrl(InternetHandle session, const std::string& address) = 0;
  virtual std::uint32_t InternetReadFile(InternetHandle url, char* buffer,
                                         std::uint32_t bytesToRead) = 0;
  virtual void InternetCloseHandle(InternetHandle handle) = 0;
  // What became of the address opened on `session` as `url`, asked before either is closed:
  // its reply's timing, and why the transfer failed if it did. For a `url` of 0 (the address
  // could not be opened) only the reason, kept by the session.
  virtual ReplyReport InternetQueryReply(InternetHandle session, InternetHandle url) = 0;
};

}  // namespace tidewell
