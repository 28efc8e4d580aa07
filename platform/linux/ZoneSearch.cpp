#include "ZoneSearch.h"

#include <ctime>
#include <optional>

namespace tidewell {
namespace {

constexpr std::time_t kSecondsPerDay = 86400;
// The zone database is sampled at this step and each change is then narrowed to the second. No
// zone changes its offset twice within a few hours, so none is stepped over.
constexpr std::time_t kSampleStep = 6 * 3600;
// Local dates of a year start up to 14 hours before and end up to 12 hours after its UTC bounds.
constexpr std::time_t kYearMargin = 2 * kSecondsPerDay;
constexpr int kTmBaseYear = 1900;
constexpr long kSecondsPerMinute = 60;

// The zone's own view of an instant: the offset, and whether it calls that time daylight time.
struct ZoneState {
  long offset = 0;  // seconds east of UTC
  bool daylight = false;
  friend bool operator==(const ZoneState&, const ZoneState&) = default;
};

struct ZoneChange {
  std::time_t firstSecond = 0;  // the first second in the new state
  ZoneState before;
  ZoneState after;
};

std::tm LocalAt(std::time_t instant) {
  std::tm local{};
  localtime_r(&instant, &local);
  return local;
}

ZoneState StateAt(std::time_t instant) {
  const std::tm local = LocalAt(instant);
  return {local.tm_gmtoff, local.tm_isdst > 0};
}

std::time_t UtcStartOfYear(int year) {
  std::tm start{};
  start.tm_year = year - kTmBaseYear;
  start.tm_mday = 1;
  return timegm(&start);
}

// The first second after `before` whose state differs from the state at `before`; `after` must
// already be in a different state.
std::time_t FirstSecondOfChange(std::time_t before, std::time_t after) {
  const ZoneState old = StateAt(before);
  while (after - before > 1) {
    const std::time_t middle = before + (after - before) / 2;
    if (StateAt(middle) == old) {
      before = middle;
    } else {
      after = middle;
    }
  }
  return after;
}

// A change between daylight and standard time moves the offset and the zone's daylight label
// together. A change of the offset alone is the zone moving its standard time, and a change of
// the label alone moves no clock: neither is a transition of the yearly rule.
bool IsSeasonalChange(const ZoneChange& change) {
  return change.before.daylight != change.after.daylight &&
         change.before.offset != change.after.offset;
}

int LocalYearOf(std::time_t instant) { return LocalAt(instant).tm_year + kTmBaseYear; }

struct SeasonalChanges {
  std::optional<ZoneChange> toDaylight;  // the first change in the year to the larger offset
  std::optional<ZoneChange> toStandard;  // the first change in the year to the smaller offset
};

SeasonalChanges FindSeasonalChanges(int year) {
  SeasonalChanges found;
  const std::time_t scanEnd = UtcStartOfYear(year + 1) + kYearMargin;
  std::time_t previous = UtcStartOfYear(year) - kYearMargin;
  ZoneState previousState = StateAt(previous);
  for (std::time_t sample = previous + kSampleStep; sample <= scanEnd; sample += kSampleStep) {
    const ZoneState state = StateAt(sample);
    if (state == previousState) {
      previous = sample;
      continue;
    }
    const std::time_t firstSecond = FirstSecondOfChange(previous, sample);
    const ZoneChange change{firstSecond, StateAt(firstSecond - 1), StateAt(firstSecond)};
    if (IsSeasonalChange(change) && LocalYearOf(firstSecond) == year) {
      auto& slot = change.after.offset > change.before.offset ? found.toDaylight : found.toStandard;
      if (!slot) slot = change;
    }
    // Carry on from the change itself, in case a second change hides in the same step.
    previous = firstSecond;
    previousState = change.after;
    sample = firstSecond;
  }
  return found;
}

std::int32_t MinutesWest(long secondsEast) {
  return static_cast<std::int32_t>(-secondsEast / kSecondsPerMinute);
}

// The change's day is the local date, in the new offset, of its first second. Its second of that
// day is read on the clock as it showed before the change, so it may reach 86400 (a change at the
// end of the day) and is 0 for a change that skips the first hour of the day.
void SetTransition(const ZoneChange& change, std::int16_t& month, std::int16_t& day,
                   std::int32_t& changeSecond) {
  const std::tm local = LocalAt(change.firstSecond);
  month = static_cast<std::int16_t>(local.tm_mon + 1);
  day = static_cast<std::int16_t>(local.tm_mday);
  std::tm midnight{};
  midnight.tm_year = local.tm_year;
  midnight.tm_mon = local.tm_mon;
  midnight.tm_mday = local.tm_mday;
  const std::time_t wallBeforeChange = change.firstSecond + change.before.offset;
  changeSecond = static_cast<std::int32_t>(wallBeforeChange - timegm(&midnight));
}

}  // namespace

TimeZoneSettings ReadZoneForYear(int year) {
  tzset();  // take up TZ as it is now, not as it was when the zone was first read
  TimeZoneSettings zone;
  const SeasonalChanges changes = FindSeasonalChanges(year);
  if (!changes.toDaylight || !changes.toStandard) {
    zone.Bias = MinutesWest(StateAt(UtcStartOfYear(year + 1) - 1).offset);
    return zone;
  }
  const long standardOffset = changes.toStandard->after.offset;
  const long daylightOffset = changes.toDaylight->after.offset;
  zone.Bias = MinutesWest(standardOffset);
  zone.StandardBias = 0;
  zone.DaylightBias = MinutesWest(daylightOffset - standardOffset);
  SetTransition(*changes.toStandard, zone.StandardMonth, zone.StandardDay,
                zone.StandardChangeSecond);
  SetTransition(*changes.toDaylight, zone.DaylightMonth, zone.DaylightDay,
                zone.DaylightChangeSecond);
  return zone;
}

}  // namespace tidewell
