#include "LinuxPlatform.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "LocalClock.h"
#include "ZoneSearch.h"

namespace tidewell {
namespace {

constexpr int kTmBaseYear = 1900;
constexpr std::int64_t kMicrosecondsPerSecond = 1'000'000;
constexpr std::int64_t kNanosecondsPerMicrosecond = 1'000;

std::tm LocalNow() {
  tzset();  // the zone may have been changed since the last reading
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm local{};
  localtime_r(&now.tv_sec, &local);
  return local;
}

// What a privileged process must not take from its caller's environment, beyond what others
// already refuse it: for a secure (AT_SECURE) process the C library drops the variables that
// steer the resolver, the loader and the locale and zone files (RES_OPTIONS, LOCALDOMAIN,
// HOSTALIASES, LOCPATH, GCONV_PATH, TZDIR, ...), sd-bus reads DBUS_SYSTEM_BUS_ADDRESS and OpenSSL
// its own with secure_getenv, and the download is told to use no proxy. TZ would still choose the
// zone the page's time is turned into, and SSLKEYLOGFILE a file for libcurl to write the session
// keys to.
constexpr const char* kCallersSteering[] = {"TZ", "SSLKEYLOGFILE"};

}  // namespace

LinuxPlatform::LinuxPlatform(const NativePlatformOptions& options, const DownloadLimits& limits,
                             const TimedatedLimits& timedatedLimits)
    : InternetPlatform(limits), options_(options), timedatedLimits_(timedatedLimits) {
  if (!RunsWithMorePrivilegeThanItsUser()) return;
  for (const char* name : kCallersSteering) unsetenv(name);  // the system's own zone then
  tzset();
}

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

bool LinuxPlatform::SetLocalClock(const PreciseTime& local, std::int32_t biasMinutes) {
  // Root, or a program or systemd service that holds CAP_SYS_TIME, sets the clock directly.
  // Anybody else is refused (EPERM) and asks systemd-timedated instead, whose authority (polkit)
  // decides whether this user may. Any other refusal would be timedated's as well.
  std::optional<timespec> instant = LocalToTimespec(local.second, biasMinutes);
  if (!instant) return false;
  instant->tv_nsec = static_cast<long>(local.fraction.count());
  if (clock_settime(CLOCK_REALTIME, &*instant) == 0) return true;
  return errno == EPERM && AskTimedatedToSet(*instant);
}

bool LinuxPlatform::AskTimedatedToSet(const timespec& instant) {
  const std::int64_t microsecondsUtc =
      static_cast<std::int64_t>(instant.tv_sec) * kMicrosecondsPerSecond +
      instant.tv_nsec / kNanosecondsPerMicrosecond;
  const std::chrono::milliseconds replyTimeout =
      options_.interactive ? timedatedLimits_.interactiveReply : timedatedLimits_.silentReply;
  return SetClockThroughTimedated(microsecondsUtc, options_.interactive, replyTimeout).clockSet;
}

std::string LinuxPlatform::TimeOfDayText(const DateTime& timeOfDay) {
  return FormatTimeOfDay(timeOfDay);
}

std::unique_ptr<Platform> CreateNativePlatform(const NativePlatformOptions& options) {
  return std::make_unique<LinuxPlatform>(options);
}

}  // namespace tidewell
