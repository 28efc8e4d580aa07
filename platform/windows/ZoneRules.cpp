#include "ZoneRules.h"

#include "DateTime.h"

namespace tidewell {
namespace {

constexpr int kLastOccurrence = 5;
constexpr int kSaturday = 6;

constexpr MonthDay kNoTransition{0, 0};
constexpr std::int32_t kSecondsPerHour = 3600;
constexpr std::int32_t kSecondsPerMinute = 60;
constexpr std::int32_t kMillisecondsPerSecond = 1000;

bool CanPlace(const TransitionRule& rule) {
  if (rule.wMonth < 1 || rule.wMonth > 12) return false;
  if (rule.wYear != 0) return true;  // an absolute date: its day is taken as it stands
  return rule.wDayOfWeek <= kSaturday && rule.wDay >= 1 && rule.wDay <= kLastOccurrence;
}

}  // namespace

std::int32_t ChangeSecondOfDay(const TransitionRule& rule) {
  const std::int32_t partSecond =
      (rule.wMilliseconds + kMillisecondsPerSecond - 1) / kMillisecondsPerSecond;
  return rule.wHour * kSecondsPerHour + rule.wMinute * kSecondsPerMinute + rule.wSecond +
         partSecond;
}

MonthDay TransitionDay(const TransitionRule& rule, int year) {
  if (!CanPlace(rule)) return kNoTransition;
  const auto month = static_cast<std::int16_t>(rule.wMonth);
  if (rule.wYear != 0) return {month, static_cast<std::int16_t>(rule.wDay)};
  const int day = NthWeekdayOfMonth(year, rule.wMonth, rule.wDayOfWeek, rule.wDay);
  return {month, static_cast<std::int16_t>(day)};
}

TimeZoneSettings ZoneSettingsForYear(const ZoneInformation& zone, int year) {
  TimeZoneSettings settings;
  settings.Bias = zone.Bias;
  settings.StandardBias = zone.StandardBias;
  settings.DaylightBias = zone.DaylightBias;

  const MonthDay toStandard = TransitionDay(zone.StandardDate, year);
  const MonthDay toDaylight = TransitionDay(zone.DaylightDate, year);
  // Windows names both transitions or neither. Half a rule would let the offset rule put the
  // daylight period between New Year and the one known change, so it counts as no rule at all.
  if (toStandard.Month == 0 || toDaylight.Month == 0) return settings;

  settings.StandardMonth = toStandard.Month;
  settings.StandardDay = toStandard.Day;
  settings.DaylightMonth = toDaylight.Month;
  settings.DaylightDay = toDaylight.Day;
  settings.StandardChangeSecond = ChangeSecondOfDay(zone.StandardDate);
  settings.DaylightChangeSecond = ChangeSecondOfDay(zone.DaylightDate);
  return settings;
}

}  // namespace tidewell
