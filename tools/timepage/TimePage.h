#pragma once

// The page for one second and the date stamps of the replies and the log.

#include <chrono>
#include <string>

namespace tidewell::timepage {

using Instant = std::chrono::sys_time<std::chrono::nanoseconds>;  // on the served clock
using Second = std::chrono::sys_seconds;                          // what a page shows

// Its line "Dec. 07, 11:20:33 Universal Time" comes after no comma and no other "Universal", so
// a client that takes the text between the last comma before "Universal" and it gets the time.
std::string RenderTimePage(Second utc);
// "Mon, 07 Dec 2026 11:20:33 GMT" (the IMF-fixdate of HTTP).
std::string HttpDate(Second utc);
// "2026-12-07T11:20:33Z", for the log.
std::string LogStamp(Second utc);

}  // namespace tidewell::timepage
