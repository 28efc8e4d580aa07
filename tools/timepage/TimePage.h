#pragma once

// What the time-page server says: the page for one second, the US zone readings on it and the
// date stamps that go into the reply headers and the log. Everything here is a pure function of
// the second being served, so the tests can pin any moment they like.

#include <chrono>
#include <span>
#include <string>
#include <string_view>

namespace tidewell::timepage {

// The served clock in nanoseconds, and the whole second that a page shows.
using Instant = std::chrono::sys_time<std::chrono::nanoseconds>;
using Second = std::chrono::sys_seconds;

// One US zone on the page. Hawaii keeps standard time all year, so its daylight name is unused.
struct UsZone {
  std::string_view standardName;
  std::string_view daylightName;
  std::chrono::hours standardOffset;  // local standard time = UTC + standardOffset
  bool observesDaylight;
};

// The zones that follow the Universal line, east to west.
std::span<const UsZone> UsZones();

// Whether the US daylight rule puts `zone` on daylight time at `utc`: from 2:00 local standard
// time on the second Sunday of March to 2:00 local daylight time on the first Sunday of
// November. The rule in force since 2007 is applied to every year.
bool UsDaylightInForce(const UsZone& zone, Second utc);

// The wall-clock reading of `zone` at `utc` and the name of the period in force.
struct ZoneReading {
  Second localTime;  // the local wall clock, held as if it were a UTC second
  std::string_view name;
};
ZoneReading ReadZone(const UsZone& zone, Second utc);

// "Dec. 07, 11:20:33 Universal Time": the line that clients take the time of day from.
std::string UniversalLine(Second utc);
// "Dec. 07, 06:20:33 AM EST": a zone line in the 12-hour style.
std::string ZoneLine(const UsZone& zone, Second utc);

// The whole HTML page for `utc`. The title and everything before the Universal line are free
// of commas and of the word "Universal", so a client that takes the text between the last
// comma before the first "Universal" and that word gets exactly the UTC time of day.
std::string RenderTimePage(Second utc);

// "Mon, 07 Dec 2026 11:20:33 GMT" (the IMF-fixdate of HTTP).
std::string HttpDate(Second utc);
// "2026-12-07T11:20:33Z", for the log.
std::string LogStamp(Second utc);

}  // namespace tidewell::timepage
