#pragma once

#include <string>

#include "NativePlatform.h"
#include "Platform.h"
#include "WinInet.h"

namespace tidewell {

// The platform services on Windows: the zone from GetTimeZoneInformation, the clock through
// GetLocalTime/SetLocalTime, the user's time format through GetTimeFormatW, and the internet
// functions of wininet.dll.
class WindowsPlatform : public Platform {
 public:
  explicit WindowsPlatform(const NativePlatformOptions& options = {},
                           const InternetLimits& limits = {},
                           std::string internetLibrary = "wininet.dll");

  TimeZoneSettings ReadTimeZoneSettings() override;
  MonthDay Today() override;
  DateTime ReadLocalClock() override;
  // Enables the system-time privilege when the process holds it; false when Windows refuses.
  bool SetLocalClock(const DateTime& local, std::int32_t biasMinutes) override;
  std::string TimeOfDayText(const DateTime& timeOfDay) override;

  InternetHandle InternetOpen(const std::string& agent) override;
  InternetHandle InternetOpenUrl(InternetHandle session, const std::string& address) override;
  std::uint32_t InternetReadFile(InternetHandle url, char* buffer,
                                 std::uint32_t bytesToRead) override;
  void InternetCloseHandle(InternetHandle handle) override;

 private:
  NativePlatformOptions options_;
  WinInet internet_;
};

}  // namespace tidewell
