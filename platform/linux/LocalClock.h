#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "DateTime.h"

namespace tidewell {

// The instant at which the local clock of the zone in force reads `local`. On the day a zone
// changes its offset, a reading that the change repeats or skips is taken in the offset given by
// `biasMinutes` (UTC = local + biasMinutes) when that is the offset before or after the change:
// it is the offset the synchronisation turned the page's instant into local time with, so the
// clock lands on that very instant. Without a bias, or with one that is neither offset, such a
// reading is taken in the offset after the change. Every other reading converts by the zone
// alone. Empty when the reading cannot be represented.
std::optional<timespec> LocalToTimespec(const DateTime& local,
                                        std::optional<std::int32_t> biasMinutes = std::nullopt);

// Tells the kernel, as NTP daemons do, that the clock it keeps was just set right to within
// `errorBound`: clears STA_UNSYNC (keeping the other status bits) and sets the maximum and
// estimated error. The kernel then writes the clock to the hardware clock every eleven minutes,
// and the clock counts as synchronised (timedatectl, time-sync.target) until the maximum error,
// which the kernel lets grow with time, reaches its limit. False when the kernel refuses.
bool MarkClockSynchronised(std::chrono::nanoseconds errorBound);

// The local date and time of the zone in force at `instant`, to the second.
std::optional<DateTime> LocalDateTimeAt(std::time_t instant);

// `timeOfDay` in the time format of the user's LC_TIME (the "C" format when the environment names
// a locale that is not installed). The process-wide locale is left alone.
std::string FormatTimeOfDay(const DateTime& timeOfDay);

}  // namespace tidewell
