#include "WindowsPlatform.h"

#include <windows.h>

#include <array>
#include <chrono>

#include "BindByName.h"
#include "TextConversion.h"
#include "ZoneRules.h"

namespace tidewell {
namespace {

using GetTimeZoneInformationFunction = decltype(&::GetTimeZoneInformation);

// GetTimeZoneInformation is bound by name at its first call, like the internet functions.
GetTimeZoneInformationFunction BoundGetTimeZoneInformation() {
  static GetTimeZoneInformationFunction function = nullptr;
  if (function == nullptr) {
    constexpr const char* kLibrary = "kernel32.dll";
    function = EntryPointOrRaise<GetTimeZoneInformationFunction>(
        LoadLibraryOrRaise(kLibrary), kLibrary, "GetTimeZoneInformation");
  }
  return function;
}

TransitionRule RuleOf(const SYSTEMTIME& date) {
  return {date.wYear, date.wMonth,  date.wDayOfWeek, date.wDay,
          date.wHour, date.wMinute, date.wSecond,    date.wMilliseconds};
}

SYSTEMTIME LocalNow() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return now;
}

SYSTEMTIME ToSystemTime(const DateTime& value) {
  SYSTEMTIME time{};
  time.wYear = static_cast<WORD>(value.Year());
  time.wMonth = static_cast<WORD>(value.Month());
  time.wDay = static_cast<WORD>(value.Day());
  time.wHour = static_cast<WORD>(value.Hour());
  time.wMinute = static_cast<WORD>(value.Minute());
  time.wSecond = static_cast<WORD>(value.Second());
  return time;
}

// SYSTEMTIME holds milliseconds: the part of the fraction finer than that is left off.
SYSTEMTIME ToSystemTime(const PreciseTime& value) {
  SYSTEMTIME time = ToSystemTime(value.second);
  time.wMilliseconds = static_cast<WORD>(
      std::chrono::duration_cast<std::chrono::milliseconds>(value.fraction).count());
  return time;
}

// Standard or daylight time by Windows' own reckoning; only compared before and after a change.
DWORD ZonePeriodInForce() {
  TIME_ZONE_INFORMATION zone{};
  return BoundGetTimeZoneInformation()(&zone);
}

// Administrators hold the system-time privilege but have it disabled; SetLocalTime enables it
// for its own call, yet only when it can, so it is switched on here. A process without it gets
// the refusal from SetLocalTime itself.
void EnableSystemTimePrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return;
  }
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  // SE_SYSTEMTIME_NAME, spelt out: the SDK's macro is narrow or wide by the UNICODE setting.
  if (LookupPrivilegeValueW(nullptr, L"SeSystemtimePrivilege", &privileges.Privileges[0].Luid)) {
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  }
  CloseHandle(token);
}

}  // namespace

WindowsPlatform::WindowsPlatform(const NativePlatformOptions& options, const DownloadLimits& limits,
                                 std::string internetLibrary)
    : InternetPlatform(limits, std::move(internetLibrary)), options_(options) {}

TimeZoneSettings WindowsPlatform::ReadTimeZoneSettings() {
  TIME_ZONE_INFORMATION zone{};
  BoundGetTimeZoneInformation()(&zone);  // which period Windows thinks is in force is not used
  const ZoneInformation information{zone.Bias, zone.StandardBias, zone.DaylightBias,
                                    RuleOf(zone.StandardDate), RuleOf(zone.DaylightDate)};
  return ZoneSettingsForYear(information, LocalNow().wYear);
}

MonthDay WindowsPlatform::Today() {
  const SYSTEMTIME now = LocalNow();
  return {static_cast<std::int16_t>(now.wMonth), static_cast<std::int16_t>(now.wDay)};
}

DateTime WindowsPlatform::ReadLocalClock() {
  const SYSTEMTIME now = LocalNow();
  return DateTime::FromParts(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

bool WindowsPlatform::SetLocalClock(const PreciseTime& local, std::int32_t /*biasMinutes*/) {
  // Windows asks nobody for the right: the program runs with it (as administrator) or not, so
  // options_.interactive changes nothing here. SetLocalTime converts the reading with the offset
  // in force at the call, so the bias the reading was made with is not needed.
  EnableSystemTimePrivilege();
  const DWORD periodBefore = ZonePeriodInForce();
  const SYSTEMTIME wanted = ToSystemTime(local);
  if (!SetLocalTime(&wanted)) return false;
  // SetLocalTime turns local time into UTC with the daylight setting in force before the call.
  // When the change crossed into the other period, the first call landed an hour off; the
  // second converts with the period now in force.
  if (ZonePeriodInForce() != periodBefore) return SetLocalTime(&wanted) != FALSE;
  return true;
}

std::string WindowsPlatform::TimeOfDayText(const DateTime& timeOfDay) {
  // GetTimeFormatW formats only the time fields; the date is today's so that every field holds
  // a value Windows accepts.
  SYSTEMTIME time = LocalNow();
  time.wHour = static_cast<WORD>(timeOfDay.Hour());
  time.wMinute = static_cast<WORD>(timeOfDay.Minute());
  time.wSecond = static_cast<WORD>(timeOfDay.Second());
  time.wMilliseconds = 0;
  std::array<wchar_t, 128> text{};
  const int length = GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &time, nullptr, text.data(),
                                    static_cast<int>(text.size()));
  if (length <= 1) return {};
  return WideToUtf8(std::wstring_view(text.data(), static_cast<std::size_t>(length - 1)));
}

std::unique_ptr<Platform> CreateNativePlatform(const NativePlatformOptions& options) {
  return std::make_unique<WindowsPlatform>(options);
}

}  // namespace tidewell
