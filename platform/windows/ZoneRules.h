#pragma once

#include <cstdint>

#include "Platform.h"

namespace tidewell {

// The fields of a Windows SYSTEMTIME that a zone's transition rule uses, kept apart from
// <windows.h> so that the conversion below builds and is tested on every platform.
struct TransitionRule {
  std::uint16_t wYear = 0;       // 0: a yearly rule; otherwise one absolute date
  std::uint16_t wMonth = 0;      // 1..12; 0: the zone keeps no daylight time
  std::uint16_t wDayOfWeek = 0;  // 0 = Sunday .. 6 = Saturday (yearly rules)
  std::uint16_t wDay = 0;        // yearly rules: the occurrence, 1..4, 5 = the last
  std::uint16_t wHour = 0;       // the time of the change, on the clock as it reads before it
  std::uint16_t wMinute = 0;
  std::uint16_t wSecond = 0;
  std::uint16_t wMilliseconds = 0;
};

// The rule's time of day in whole seconds after midnight, a part of a second counting as a whole
// one: Windows writes a change at the end of the day as 23:59:59.999, which gives 86400.
std::int32_t ChangeSecondOfDay(const TransitionRule& rule);

// The fields of TIME_ZONE_INFORMATION that the synchronisation reads: UTC = local time + bias.
struct ZoneInformation {
  std::int32_t Bias = 0;
  std::int32_t StandardBias = 0;
  std::int32_t DaylightBias = 0;
  TransitionRule StandardDate;
  TransitionRule DaylightDate;
};

// The calendar day on which `rule` falls in `year`: for a yearly rule the wDay-th wDayOfWeek of
// wMonth in that year, for an absolute date its own wDay. Month 0, day 0 for a rule that names
// no transition (wMonth 0) or one that no calendar can hold (a month above 12, a weekday above
// Saturday, an occurrence outside 1..5).
MonthDay TransitionDay(const TransitionRule& rule, int year);

// The zone as the synchronisation sees it in `year`. A zone keeps daylight time only when both
// of its transitions fall on a calendar day; otherwise both months are 0 and the zone is on
// standard time all year, whatever its DaylightBias. The change seconds are the rules' times of
// day.
TimeZoneSettings ZoneSettingsForYear(const ZoneInformation& zone, int year);

}  // namespace tidewell
