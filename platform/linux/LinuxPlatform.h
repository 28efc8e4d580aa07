#pragma once

#include <ctime>

#include "CurlInternet.h"
#include "InternetPlatform.h"
#include "NativePlatform.h"
#include "TimedatedClock.h"

namespace tidewell {

// The platform services on Linux: the zone database through the C library, the clock through
// clock_gettime/clock_settime (or systemd-timedated, when the process may not set it itself),
// and the internet functions on libcurl.
class LinuxPlatform : public InternetPlatform<CurlInternet> {
 public:
  explicit LinuxPlatform(const NativePlatformOptions& options = {},
                         const DownloadLimits& limits = {},
                         const TimedatedLimits& timedatedLimits = {});

  TimeZoneSettings ReadTimeZoneSettings() override;
  MonthDay Today() override;
  DateTime ReadLocalClock() override;
  bool SetLocalClock(const PreciseTime& local, std::int32_t biasMinutes) override;
  std::string TimeOfDayText(const DateTime& timeOfDay) override;

 private:
  bool AskTimedatedToSet(const timespec& instant);

  NativePlatformOptions options_;
  TimedatedLimits timedatedLimits_;
};

}  // namespace tidewell
