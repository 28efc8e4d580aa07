#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "DateTime.h"

namespace tidewell {

// Seconds by which this machine's clock is behind the page (negative: ahead), from the local
// time the page asked for, the zone's bias then, and the system clock at that moment. The page
// shows a whole second; `pastPageSecond` is how far the true time was past it at that moment
// (from the reply's figures: its age, its way here and the time since). Only the time of day is
// compared, so the result is folded into -12 h .. +12 h.
double ClockOffsetSeconds(const DateTime& requestedLocal, std::int32_t biasMinutes,
                          std::chrono::system_clock::time_point systemAtRequest,
                          std::chrono::nanoseconds pastPageSecond = {});

// "10.012 ms"
std::string Milliseconds(std::chrono::nanoseconds span);

// The page's Universal Time of day that led to `requestedLocal` under `biasMinutes`.
DateTime UniversalTimeOfDay(const DateTime& requestedLocal, std::int32_t biasMinutes);

// "HH:MM:SS"
std::string HhMmSs(const DateTime& value);

}  // namespace tidewell
