#include "QueryReport.h"

#include <cmath>
#include <cstdio>

namespace tidewell {
namespace {
constexpr double kSecondsPerDay = 86400.0;
}  // namespace

DateTime UniversalTimeOfDay(const DateTime& requestedLocal, std::int32_t biasMinutes) {
  return requestedLocal.AddMinutes(biasMinutes).TimeOnly();
}

double ClockOffsetSeconds(const DateTime& requestedLocal, std::int32_t biasMinutes,
                          std::chrono::system_clock::time_point systemAtRequest,
                          std::chrono::nanoseconds pastPageSecond) {
  const double pageSecondOfDay = UniversalTimeOfDay(requestedLocal, biasMinutes).SecondOfDay() +
                                 std::chrono::duration<double>(pastPageSecond).count();
  const auto sinceEpoch = std::chrono::duration<double>(systemAtRequest.time_since_epoch()).count();
  const double clockSecondOfDay = std::fmod(sinceEpoch, kSecondsPerDay);
  double offset = std::fmod(pageSecondOfDay - clockSecondOfDay, kSecondsPerDay);
  if (offset >= kSecondsPerDay / 2) offset -= kSecondsPerDay;
  if (offset < -kSecondsPerDay / 2) offset += kSecondsPerDay;
  return offset;
}

std::string Milliseconds(std::chrono::nanoseconds span) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f ms",
                std::chrono::duration<double, std::milli>(span).count());
  return text;
}

std::string HhMmSs(const DateTime& value) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", value.Hour(), value.Minute(), value.Second());
  return text;
}

}  // namespace tidewell
