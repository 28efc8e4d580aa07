#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "DateTime.h"

namespace tidewell {

// The instant at which the local clock of the zone in force reads `local`. On the day a zone
// changes its offset, a reading that the change skips or repeats is taken in the offset that
// follows the change: that is the offset the synchronisation already uses for the whole day of
// a change, so the clock lands on the very instant the time page named. Empty when the reading
// cannot be represented.
std::optional<timespec> LocalToTimespec(const DateTime& local);

// The local date and time of the zone in force at `instant`, to the second.
std::optional<DateTime> LocalDateTimeAt(std::time_t instant);

// `timeOfDay` in the time format of the user's LC_TIME (the "C" format when the environment names
// a locale that is not installed). The process-wide locale is left alone.
std::string FormatTimeOfDay(const DateTime& timeOfDay);

}  // namespace tidewell
