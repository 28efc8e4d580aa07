#include "LinuxPlatform.h"

#include <ctime>

#include "LocalClock.h"
#include "ZoneSearch.h"

namespace tidewell {
namespace {

constexpr int kTmBaseYear = 1900;

std::tm LocalNow() {
  tzset();  // the zone may have been changed since the last reading
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm local{};
  localtime_r(&now.tv_sec, &local);
  return local;
}

}  // namespace

LinuxPlatform::LinuxPlatform(const NativePlatformOptions& options, const DownloadLimits& limits)
    : options_(options), internet_(limits) {}

TimeZoneSettings LinuxPlatform::ReadTimeZoneSettings() {
  return ReadZoneForYear(LocalNow().tm_year + kTmBaseYear);
}

MonthDay LinuxPlatform::Today() {
  const std::tm local = LocalNow();
  return {static_cast<std::int16_t>(local.tm_mon + 1), static_cast<std::int16_t>(local.tm_mday)};
}

DateTime LinuxPlatform::ReadLocalClock() {
  tzset();
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  // The clock of a running system always lies within the years a date-time can hold.
  return LocalDateTimeAt(now.tv_sec).value_or(DateTime{});
}

bool LinuxPlatform::SetLocalClock(const DateTime& local) {
  // Running as a user with CAP_SYS_TIME is how the process gets the right to set the clock;
  // without it the change is refused (EPERM) and reported as false. Asking an interactive user
  // for that right is not offered yet, so options_.interactive changes nothing here.
  const std::optional<timespec> instant = LocalToTimespec(local);
  return instant && clock_settime(CLOCK_REALTIME, &*instant) == 0;
}

std::string LinuxPlatform::TimeOfDayText(const DateTime& timeOfDay) {
  return FormatTimeOfDay(timeOfDay);
}

InternetHandle LinuxPlatform::InternetOpen(const std::string& agent) {
  return internet_.OpenSession(agent);
}

InternetHandle LinuxPlatform::InternetOpenUrl(InternetHandle session, const std::string& address) {
  return internet_.OpenUrl(session, address);
}

std::uint32_t LinuxPlatform::InternetReadFile(InternetHandle url, char* buffer,
                                              std::uint32_t bytesToRead) {
  return internet_.Read(url, buffer, bytesToRead);
}

void LinuxPlatform::InternetCloseHandle(InternetHandle handle) { internet_.Close(handle); }

std::unique_ptr<Platform> CreateNativePlatform(const NativePlatformOptions& options) {
  return std::make_unique<LinuxPlatform>(options);
}

}  // namespace tidewell
