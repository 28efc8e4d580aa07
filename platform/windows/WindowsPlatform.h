#pragma once

#include <string>

#include "NativePlatform.h"
#include "InternetPlatform.h"
#include "WinInet.h"

namespace tidewell {

// The platform services on Windows: the zone from GetTimeZoneInformation, the clock through
// GetLocalTime/SetLocalTime, the user's time format through GetTimeFormatW, and the internet
// functions of wininet.dll.
class WindowsPlatform : public InternetPlatform<WinInet> {
 public:
  explicit WindowsPlatform(const NativePlatformOptions& options = {},
                           const DownloadLimits& limits = {},
                           std::string internetLibrary = "wininet.dll");

  TimeZoneSettings ReadTimeZoneSettings() override;
  MonthDay Today() override;
  DateTime ReadLocalClock() override;
  // Enables the system-time privilege when the process holds it; false when Windows refuses.
  // The clock is set to the millisecond.
  bool SetLocalClock(const PreciseTime& local, std::int32_t biasMinutes) override;
  std::string TimeOfDayText(const DateTime& timeOfDay) override;

 private:
  NativePlatformOptions options_;
};

}  // namespace tidewell
