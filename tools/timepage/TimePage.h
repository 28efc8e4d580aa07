#pragma once

// What the time-page server says: the page for one second and the date stamps of the reply
// headers and the log. Pure functions of the second served, so the tests can pin any moment.

#include <chrono>
#include <string>

namespace tidewell::timepage {

// The served clock in nanoseconds, and the whole second that a page shows.
using Instant = std::chrono::sys_time<std::chrono::nanoseconds>;
using Second = std::chrono::sys_seconds;

// "Dec. 07, 11:20:33 Universal Time": the line that clients take the time of day from.
std::string UniversalLine(Second utc);

// The whole HTML page for `utc`. Everything before the Universal line is free of commas and of
// the word "Universal", so a client that takes the text between the last comma before the first
// "Universal" and that word gets exactly the UTC time of day.
std::string RenderTimePage(Second utc);

// "Mon, 07 Dec 2026 11:20:33 GMT" (the IMF-fixdate of HTTP).
std::string HttpDate(Second utc);
// "2026-12-07T11:20:33Z", for the log.
std::string LogStamp(Second utc);

}  // namespace tidewell::timepage
