#pragma once

#include "Platform.h"

namespace tidewell {

// The settings of the time zone in force (TZ, else /etc/localtime) for `year`, in the Windows
// sense: UTC = local time + Bias, with the daylight period as the larger of the zone's two
// offsets, however the zone database labels them. The transition days are the local calendar
// dates, as shown in the new offset, of the first second after each change in `year`; the change
// seconds are the moments of the changes as the clock read them just before, in seconds after
// local midnight of those days. A zone that does not change both ways within `year` reports no
// daylight time: months 0, DaylightBias 0, and the offset in force at the end of the year as its
// standard one.
TimeZoneSettings ReadZoneForYear(int year);

}  // namespace tidewell
