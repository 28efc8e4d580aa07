#pragma once

// The page for one second and the date stamps of the replies and the log.

#include <chrono>
#include <string>

namespace tidewell::timepage {

using Instant = std::chrono::sys_time<std::chrono::nanoseconds>;  // on the served clock
using Second = std::chrono::sys_seconds;                          // what a page shows

// "Dec. 07, 11:20:33 Universal Time": the line that clients take the time of day from.
std::string UniversalLine(Second utc);
// Nothing before the Universal line holds a comma or "Universal", so a client that takes the
// text between the last comma before the first "Universal" and that word gets the time of day.
std::string RenderTimePage(Second utc);
// "Mon, 07 Dec 2026 11:20:33 GMT" (the IMF-fixdate of HTTP).
std::string HttpDate(Second utc);
// "2026-12-07T11:20:33Z", for the log.
std::string LogStamp(Second utc);

}  // namespace tidewell::timepage
